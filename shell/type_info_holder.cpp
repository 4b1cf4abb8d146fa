#include "shell/type_info_holder.h"

#include <new>

#include "generated/installer_idl.h"
#include "shell/module_state.h"
#include "shell/com_owners.h"

namespace corvane {
namespace {

constexpr WORD kLibraryMajor = 1;
constexpr WORD kLibraryMinor = 0;
constexpr LCID kLibraryLocale = 0x0409;

}  // namespace

void TypeInfoHolder::buildNameCache(ITypeInfo* info) noexcept {
  const auto attributes = typeAttributesOf(info);
  if (attributes.get() == nullptr) return;
  const UINT count = attributes.get()->cFuncs;
  // Without room for the cache every name goes to the type information's own lookup.
  names_.reset(new (std::nothrow) CachedName[count]);
  if (!names_) return;
  nameCount_ = count;
  for (UINT index = 0; index < count; ++index) {
    const auto description = functionDescriptionOf(info, index);
    if (description.get() == nullptr) continue;
    CachedName& entry = names_[index];
    if (FAILED(info->GetDocumentation(description.get()->memid, entry.name.put(), nullptr, nullptr, nullptr))) {
      entry.name.reset();
      continue;
    }
    entry.length = ::SysStringLen(entry.name.get());
    entry.id = description.get()->memid;
  }
}

HRESULT TypeInfoHolder::ensureLoaded(LCID locale) noexcept {
  if (info_) return S_OK;
  HRESULT result = S_OK;
  {
    CriticalSectionGuard guard(moduleState().typeInfoLock);
    if (!info_) {
      ComPtr<ITypeLib> library;
      result = ::LoadRegTypeLib(*library_, kLibraryMajor, kLibraryMinor, locale, library.put());
      // The library is registered under its own locale only, and Wine's lookup does not
      // fall back from another locale (script engines pass 0) to it.
      if (FAILED(result) && locale != kLibraryLocale) {
        result = ::LoadRegTypeLib(*library_, kLibraryMajor, kLibraryMinor, kLibraryLocale, library.put());
      }
      ComPtr<ITypeInfo> info;
      if (SUCCEEDED(result)) result = library->GetTypeInfoOfGuid(*type_, info.put());
      if (SUCCEEDED(result)) {
        ComPtr<ITypeInfo2> richer;
        if (SUCCEEDED(info.queryInterface(IID_ITypeInfo2, richer))) info = ComPtr<ITypeInfo>::attach(richer.detach());
        buildNameCache(info.get());
        info_ = std::move(info);
      }
    }
  }
  // One clean-up per holder: failed loads that retry must not grow the list.
  {
    CriticalSectionGuard guard(moduleState().typeInfoLock);
    if (!terminationPushed_) terminationPushed_ = true;
    else return result;
  }
  if (!addTermination(&TypeInfoHolder::terminate, reinterpret_cast<DWORD_PTR>(this))) {
    CriticalSectionGuard guard(moduleState().typeInfoLock);
    terminationPushed_ = false;
  }
  return result;
}

HRESULT TypeInfoHolder::typeInfo(LCID locale, ITypeInfo** out) noexcept {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  const HRESULT result = ensureLoaded(locale);
  if (!info_) return FAILED(result) ? result : E_FAIL;
  *out = ComPtr<ITypeInfo>(info_).detach();
  return S_OK;
}

HRESULT TypeInfoHolder::idsOfNames(LPOLESTR* names, UINT count, LCID locale, DISPID* ids) noexcept {
  const HRESULT loaded = ensureLoaded(locale);
  if (!info_) return FAILED(loaded) ? loaded : E_FAIL;
  HRESULT result = S_OK;
  for (UINT index = 0; index < count; ++index) {
    const wchar_t* name = names[index];
    const UINT length = name ? static_cast<UINT>(::lstrlenW(name)) : 0;
    bool found = false;
    for (UINT entry = nameCount_; entry-- > 0;) {
      const CachedName& cached = names_[entry];
      if (!cached.name.present() || cached.length != length) continue;
      if (length != 0 && memcmp(cached.name.get(), name, length * sizeof(wchar_t)) != 0) continue;
      ids[index] = cached.id;
      found = true;
      break;
    }
    if (found) continue;
    result = info_->GetIDsOfNames(names, count, ids);
    if (FAILED(result)) return result;
  }
  return result;
}

HRESULT TypeInfoHolder::invoke(IDispatch* instance, DISPID member, LCID locale, WORD flags, DISPPARAMS* params,
                               VARIANT* result, EXCEPINFO* exception, UINT* argumentError) noexcept {
  const HRESULT loaded = ensureLoaded(locale);
  if (!info_) return FAILED(loaded) ? loaded : E_FAIL;
  return info_->Invoke(instance, member, flags, params, result, exception, argumentError);
}

void TypeInfoHolder::clear() noexcept {
  info_.reset();
  names_.reset();
  nameCount_ = 0;
  terminationPushed_ = false;
}

void TypeInfoHolder::terminate(DWORD_PTR holder) noexcept { reinterpret_cast<TypeInfoHolder*>(holder)->clear(); }

TypeInfoHolder& installerTypeInfo() noexcept {
  static TypeInfoHolder holder(&IID_IInstaller, &LIBID_VARUDEVAVUZEZLib);
  return holder;
}

TypeInfoHolder& installerClassTypeInfo() noexcept {
  static TypeInfoHolder holder(&CLSID_Installer, &LIBID_VARUDEVAVUZEZLib);
  return holder;
}

}  // namespace corvane
