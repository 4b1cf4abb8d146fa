// The Installer control: three text settings and the two jobs a host starts with them.
#pragma once

#include <windows.h>
#include <objsafe.h>
#include <ocidl.h>

#include "shell/com_base.h"
#include "generated/installer_idl.h"
#include "shell/module_state.h"
#include "shell/com_owners.h"
#include "shell/installer_events.h"

namespace corvane {

class Installer;
// The faces in declaration order; IUnknown is answered by the IInstaller face.
using InstallerBase = ComObject<Installer, ApartmentRefCount, IObjectWithSite, ISupportErrorInfo,
                                IConnectionPointContainer, IInstaller, IObjectSafety, IProvideClassInfo2>;

class Installer final : public InstallerBase {
 public:
  static const InterfaceEntry* interfaceTable() noexcept;
  // The instance creator of the class's map entry: the class cannot be aggregated.
  static HRESULT create(IUnknown* outer, REFIID iid, void** out) noexcept;

  // IObjectWithSite
  HRESULT STDMETHODCALLTYPE SetSite(IUnknown* site) override;
  HRESULT STDMETHODCALLTYPE GetSite(REFIID iid, void** out) override;

  // ISupportErrorInfo
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override;

  // IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** out) override;

  // IObjectSafety
  HRESULT STDMETHODCALLTYPE GetInterfaceSafetyOptions(REFIID iid, DWORD* supported, DWORD* enabled) override;
  HRESULT STDMETHODCALLTYPE SetInterfaceSafetyOptions(REFIID iid, DWORD mask, DWORD enabled) override;

  // IProvideClassInfo2
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** out) override;
  HRESULT STDMETHODCALLTYPE GetGUID(DWORD kind, GUID* out) override;

  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* argumentError) override;

  // IInstaller
  HRESULT STDMETHODCALLTYPE get_BaseURL(BSTR* pVal) override;
  HRESULT STDMETHODCALLTYPE put_BaseURL(BSTR value) override;
  HRESULT STDMETHODCALLTYPE get_AuthPath(BSTR* pVal) override;
  HRESULT STDMETHODCALLTYPE put_AuthPath(BSTR value) override;
  HRESULT STDMETHODCALLTYPE get_InstallPath(BSTR* pVal) override;
  HRESULT STDMETHODCALLTYPE put_InstallPath(BSTR value) override;
  HRESULT STDMETHODCALLTYPE UpdateComponents(BSTR components, int* pVal) override;
  HRESULT STDMETHODCALLTYPE InstallCertificate(BSTR cerFileName) override;

 private:
  friend InstallerBase;
  Installer() : events_(*this) {}
  // Holds the count at 1 while the members go, so a call back into the object from a
  // released site cannot destroy it a second time.
  ~Installer() { refCount().add(); }

  // The page lock: true unless the build lists page origins and the site's page is not one.
  bool pageAllowed() const noexcept;
  // A call made from an event sink while a job runs.
  bool callInProgress() const noexcept { return callInProgress_; }

  // Members go in reverse order: the module lock first, then the site, then the data.
  UniqueBstr installPath_;
  UniqueBstr baseUrl_;
  UniqueBstr authPath_;
  DWORD safetyOptions_ = 0;
  ComPtr<IUnknown> site_;
  InstallerEventsPoint events_;
  bool callInProgress_ = false;
  ModuleLockHolder moduleLock_;
};

}  // namespace corvane
