// The Installer control: three text settings and the two jobs a host starts with them.
#pragma once

#include <windows.h>

#include "com_base.h"
#include "installer_idl.h"
#include "module_state.h"
#include "raii.h"

namespace corvane {

class Installer final : public ComObject<Installer, ApartmentRefCount, IInstaller> {
 public:
  static const InterfaceEntry* interfaceTable() noexcept;

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
  friend class ComObject<Installer, ApartmentRefCount, IInstaller>;
  Installer() = default;
  ~Installer() = default;

  ModuleLockHolder moduleLock_;
  UniqueBstr installPath_;
  UniqueBstr baseUrl_;
  UniqueBstr authPath_;
};

}  // namespace corvane
