#include "installer.h"

#include "error_report.h"
#include "text.h"

namespace corvane {
namespace {

HRESULT copyOut(const UniqueBstr& stored, BSTR* out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (!stored.present()) return S_OK;
  *out = ::SysAllocString(stored.get());
  return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

// The copy ends at the argument's first null character, as SysAllocString reads it.
HRESULT storeCopy(UniqueBstr& stored, BSTR value) {
  stored.reset();
  if (value == nullptr) return S_OK;
  stored.reset(::SysAllocString(value));
  return stored.present() ? S_OK : E_OUTOFMEMORY;
}

HRESULT refuse(const char* message) { return reportError(CLSID_Installer, message, IID_IInstaller); }

}  // namespace

const InterfaceEntry* Installer::interfaceTable() noexcept {
  static const InterfaceEntry table[] = {
      interfaceEntry<Installer, IInstaller>(IID_IInstaller),
      interfaceEntry<Installer, IInstaller>(IID_IDispatch),
      {nullptr, nullptr},
  };
  return table;
}

HRESULT Installer::GetTypeInfoCount(UINT*) { return E_NOTIMPL; }
HRESULT Installer::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }
HRESULT Installer::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }
HRESULT Installer::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
  return E_NOTIMPL;
}

HRESULT Installer::get_BaseURL(BSTR* pVal) { return copyOut(baseUrl_, pVal); }
HRESULT Installer::put_BaseURL(BSTR value) { return storeCopy(baseUrl_, value); }
HRESULT Installer::get_AuthPath(BSTR* pVal) { return copyOut(authPath_, pVal); }
HRESULT Installer::put_AuthPath(BSTR value) { return storeCopy(authPath_, value); }
HRESULT Installer::get_InstallPath(BSTR* pVal) { return copyOut(installPath_, pVal); }
HRESULT Installer::put_InstallPath(BSTR value) { return storeCopy(installPath_, value); }

HRESULT Installer::UpdateComponents(BSTR components, int* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = 0;
  if (!baseUrl_.present()) return refuse("CodebaseURL is not initialized");
  if (!authPath_.present()) return refuse("AuthURL is not initialized");
  if (!installPath_.present()) return refuse("Installation path is not specified");
  return guardedCall([&]() -> HRESULT {
    const AnsiText installPath = wideToAnsi(installPath_.get());
    const AnsiText componentNames = wideToAnsi(components);
    const AnsiText baseUrl = wideToAnsi(baseUrl_.get());
    const AnsiText authPath = wideToAnsi(authPath_.get());
    (void)installPath;
    (void)componentNames;
    (void)baseUrl;
    (void)authPath;
    return S_OK;
  });
}

HRESULT Installer::InstallCertificate(BSTR cerFileName) {
  if (!baseUrl_.present()) return refuse("BaseURL is not initialized");
  if (!authPath_.present()) return refuse("AuthURL is not initialized");
  // The message speaks of the installation path although the file name is what is missing.
  if (cerFileName == nullptr) return refuse("Installation path is not specified");
  return guardedCall([&]() -> HRESULT {
    const AnsiText fileName = wideToAnsi(cerFileName);
    const AnsiText baseUrl = wideToAnsi(baseUrl_.get());
    const AnsiText authPath = wideToAnsi(authPath_.get());
    (void)fileName;
    (void)baseUrl;
    (void)authPath;
    return S_OK;
  });
}

}  // namespace corvane
