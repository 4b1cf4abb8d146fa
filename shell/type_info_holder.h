// Type information of one type of the module's type library, loaded on first use and
// shared by every object of the module.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <memory>

#include "shell/com_owners.h"

namespace corvane {

class TypeInfoHolder {
 public:
  TypeInfoHolder(const GUID* type, const GUID* library) noexcept : type_(type), library_(library) {}
  TypeInfoHolder(const TypeInfoHolder&) = delete;
  TypeInfoHolder& operator=(const TypeInfoHolder&) = delete;

  // Loads the registered library's type information if nothing is cached yet.
  HRESULT ensureLoaded(LCID locale) noexcept;
  // New reference on the cached type information (null when none), after loading.
  HRESULT typeInfo(LCID locale, ITypeInfo** out) noexcept;
  HRESULT idsOfNames(LPOLESTR* names, UINT count, LCID locale, DISPID* ids) noexcept;
  HRESULT invoke(IDispatch* instance, DISPID member, LCID locale, WORD flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* exception, UINT* argumentError) noexcept;

  // Releases the type information and the name cache; safe to run more than once.
  void clear() noexcept;
  static void terminate(DWORD_PTR holder) noexcept;

  bool loaded() const noexcept { return static_cast<bool>(info_); }
  UINT cachedNameCount() const noexcept { return nameCount_; }

 private:
  struct CachedName {
    UniqueBstr name;  // null for a function whose name could not be read: never matches
    UINT length = 0;
    DISPID id = DISPID_UNKNOWN;
  };
  void buildNameCache(ITypeInfo* info) noexcept;

  const GUID* type_;
  const GUID* library_;
  ComPtr<ITypeInfo> info_;  // an ITypeInfo2 where the library offers one
  std::unique_ptr<CachedName[]> names_;
  UINT nameCount_ = 0;
  bool terminationPushed_ = false;
};

// The module's two holders: the dispatch interface and the creatable class.
TypeInfoHolder& installerTypeInfo() noexcept;
TypeInfoHolder& installerClassTypeInfo() noexcept;

}  // namespace corvane
