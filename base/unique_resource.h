// One owner for every handle-like resource, and the kernel handles that every subsystem
// uses. Each subsystem declares the aliases for the handle kinds only it uses beside it.
#pragma once

#include <windows.h>

#include <utility>

namespace corvane {

// Traits says what "none" is and how to close.
template <typename Traits>
class UniqueResource {
 public:
  using Type = typename Traits::Type;

  UniqueResource() noexcept = default;
  explicit UniqueResource(Type value) noexcept : value_(value) {}
  ~UniqueResource() { reset(); }

  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;

  Type get() const noexcept { return value_; }
  bool valid() const noexcept { return Traits::isValid(value_); }
  explicit operator bool() const noexcept { return valid(); }

  Type release() noexcept { return std::exchange(value_, Traits::none()); }
  void reset(Type value = Traits::none()) noexcept {
    Type old = std::exchange(value_, value);
    if (Traits::isValid(old)) Traits::close(old);
  }
  // Address for an API that writes a new resource; the old one is closed first.
  Type* put() noexcept {
    reset();
    return &value_;
  }

 private:
  Type value_ = Traits::none();
};

template <typename T, auto CloseFunction>
struct NullIsNoneTraits {
  using Type = T;
  static Type none() noexcept { return Type{}; }
  static bool isValid(Type value) noexcept { return value != Type{}; }
  static void close(Type value) noexcept { CloseFunction(value); }
};

struct KernelHandleTraits {
  using Type = HANDLE;
  static Type none() noexcept { return nullptr; }
  // CreateFile reports failure as INVALID_HANDLE_VALUE, most other calls as null.
  static bool isValid(Type value) noexcept { return value != nullptr && value != INVALID_HANDLE_VALUE; }
  static void close(Type value) noexcept { ::CloseHandle(value); }
};

struct FindHandleTraits {
  using Type = HANDLE;
  static Type none() noexcept { return INVALID_HANDLE_VALUE; }
  static bool isValid(Type value) noexcept { return value != nullptr && value != INVALID_HANDLE_VALUE; }
  static void close(Type value) noexcept { ::FindClose(value); }
};

inline void freeLibrary(HMODULE module) noexcept { ::FreeLibrary(module); }
inline void closeRegistryKey(HKEY key) noexcept { ::RegCloseKey(key); }

using UniqueHandle = UniqueResource<KernelHandleTraits>;
using UniqueFindHandle = UniqueResource<FindHandleTraits>;
using UniqueModule = UniqueResource<NullIsNoneTraits<HMODULE, freeLibrary>>;
using UniqueRegistryKey = UniqueResource<NullIsNoneTraits<HKEY, closeRegistryKey>>;

}  // namespace corvane
