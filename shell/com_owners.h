// Owners for COM and OLE Automation resources: task memory, BSTRs, interface pointers,
// structures handed out by type libraries, VARIANT, EXCEPINFO, plus the critical sections of
// the module (registry keys have their owner in base/unique_resource.h). Used by the shell, the installer host and tests.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <objbase.h>

#include <cstddef>
#include <utility>

#include "base/unique_resource.h"

namespace corvane {

// Memory from CoTaskMemAlloc, as handed out by ProgIDFromCLSID and friends.
template <typename T>
class UniqueTaskMemory {
 public:
  UniqueTaskMemory() noexcept = default;
  ~UniqueTaskMemory() { ::CoTaskMemFree(pointer_); }
  UniqueTaskMemory(const UniqueTaskMemory&) = delete;
  UniqueTaskMemory& operator=(const UniqueTaskMemory&) = delete;
  T* get() const noexcept { return pointer_; }
  T** put() noexcept {
    ::CoTaskMemFree(pointer_);
    pointer_ = nullptr;
    return &pointer_;
  }

 private:
  T* pointer_ = nullptr;
};

// An automation string (BSTR) owned by its holder; null means absent.
class UniqueBstr {
 public:
  UniqueBstr() noexcept = default;
  explicit UniqueBstr(BSTR value) noexcept : value_(value) {}
  ~UniqueBstr() { ::SysFreeString(value_); }
  UniqueBstr(UniqueBstr&& other) noexcept : value_(other.release()) {}
  UniqueBstr& operator=(UniqueBstr&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueBstr(const UniqueBstr&) = delete;
  UniqueBstr& operator=(const UniqueBstr&) = delete;

  BSTR get() const noexcept { return value_; }
  bool present() const noexcept { return value_ != nullptr; }
  BSTR release() noexcept { return std::exchange(value_, nullptr); }
  void reset(BSTR value = nullptr) noexcept { ::SysFreeString(std::exchange(value_, value)); }
  BSTR* put() noexcept {
    reset();
    return &value_;
  }

 private:
  BSTR value_ = nullptr;
};

// An owned reference to a COM interface.
template <typename T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}
  // Takes a new reference on an existing pointer.
  static ComPtr copyOf(T* pointer) noexcept {
    if (pointer) pointer->AddRef();
    return ComPtr(pointer);
  }
  // Adopts a reference the caller already owns.
  static ComPtr attach(T* pointer) noexcept { return ComPtr(pointer); }

  ~ComPtr() { reset(); }
  ComPtr(const ComPtr& other) noexcept : pointer_(other.pointer_) {
    if (pointer_) pointer_->AddRef();
  }
  ComPtr& operator=(const ComPtr& other) noexcept {
    if (this != &other) *this = copyOf(other.pointer_);
    return *this;
  }
  ComPtr(ComPtr&& other) noexcept : pointer_(other.detach()) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      reset();
      pointer_ = other.detach();
    }
    return *this;
  }

  T* get() const noexcept { return pointer_; }
  T* operator->() const noexcept { return pointer_; }
  explicit operator bool() const noexcept { return pointer_ != nullptr; }
  T** put() noexcept {
    reset();
    return &pointer_;
  }
  void** putVoid() noexcept { return reinterpret_cast<void**>(put()); }
  T* detach() noexcept { return std::exchange(pointer_, nullptr); }
  void reset() noexcept {
    if (T* old = std::exchange(pointer_, nullptr)) old->Release();
  }

  template <typename Other>
  HRESULT queryInterface(REFIID iid, ComPtr<Other>& out) const noexcept {
    return pointer_->QueryInterface(iid, out.putVoid());
  }

 private:
  explicit ComPtr(T* pointer) noexcept : pointer_(pointer) {}
  T* pointer_ = nullptr;
};

// A structure an interface hands out and takes back through a member of its own
// (ITypeLib::ReleaseTLibAttr, ITypeInfo::ReleaseTypeAttr, ITypeInfo::ReleaseFuncDesc).
template <typename T, typename Releaser>
class HandedOut {
 public:
  // `fill` asks the interface for the structure; a failed request leaves nothing held.
  template <typename Fill>
  HandedOut(Releaser release, Fill&& fill) noexcept : release_(release) {
    if (FAILED(fill(&value_))) value_ = nullptr;
  }
  ~HandedOut() {
    if (value_) release_(value_);
  }
  HandedOut(const HandedOut&) = delete;
  HandedOut& operator=(const HandedOut&) = delete;
  const T* get() const noexcept { return value_; }
  const T* operator->() const noexcept { return value_; }
  explicit operator bool() const noexcept { return value_ != nullptr; }

 private:
  T* value_ = nullptr;
  Releaser release_;
};

inline auto libraryAttributesOf(ITypeLib* library) {
  auto release = [library](TLIBATTR* attributes) { library->ReleaseTLibAttr(attributes); };
  return HandedOut<TLIBATTR, decltype(release)>(release, [library](TLIBATTR** out) { return library->GetLibAttr(out); });
}

inline auto typeAttributesOf(ITypeInfo* info) {
  auto release = [info](TYPEATTR* attributes) { info->ReleaseTypeAttr(attributes); };
  return HandedOut<TYPEATTR, decltype(release)>(release, [info](TYPEATTR** out) { return info->GetTypeAttr(out); });
}

inline auto functionDescriptionOf(ITypeInfo* info, UINT index) {
  auto release = [info](FUNCDESC* description) { info->ReleaseFuncDesc(description); };
  return HandedOut<FUNCDESC, decltype(release)>(release,
                                                [info, index](FUNCDESC** out) { return info->GetFuncDesc(index, out); });
}

// A VARIANT cleared when its owner goes.
class ScopedVariant {
 public:
  ScopedVariant() noexcept { ::VariantInit(&value_); }
  ~ScopedVariant() { ::VariantClear(&value_); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;
  VARIANT* get() noexcept { return &value_; }

 private:
  VARIANT value_;
};

// The EXCEPINFO that IDispatch::Invoke fills; its strings are freed with it.
class ScopedExceptionInfo {
 public:
  ScopedExceptionInfo() noexcept : value_{} {}
  ~ScopedExceptionInfo() {
    ::SysFreeString(value_.bstrSource);
    ::SysFreeString(value_.bstrDescription);
    ::SysFreeString(value_.bstrHelpFile);
  }
  ScopedExceptionInfo(const ScopedExceptionInfo&) = delete;
  ScopedExceptionInfo& operator=(const ScopedExceptionInfo&) = delete;
  EXCEPINFO* get() noexcept { return &value_; }
  const EXCEPINFO& value() const noexcept { return value_; }

 private:
  EXCEPINFO value_;
};

// Enter/leave of a critical section for one scope.
class CriticalSectionGuard {
 public:
  explicit CriticalSectionGuard(CRITICAL_SECTION& section) noexcept : section_(section) {
    ::EnterCriticalSection(&section_);
  }
  ~CriticalSectionGuard() { ::LeaveCriticalSection(&section_); }
  CriticalSectionGuard(const CriticalSectionGuard&) = delete;
  CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

 private:
  CRITICAL_SECTION& section_;
};

}  // namespace corvane
