// Module-wide state: the instance handle and the count of reasons not to unload.
#pragma once

#include <windows.h>

namespace corvane {

// Every live object, enumerator, held class object and server lock holds one.
void lockModule() noexcept;
void unlockModule() noexcept;
LONG moduleLockCount() noexcept;

// The DLL's own instance; null in a test executable that links the objects directly.
HINSTANCE moduleInstance() noexcept;
void setModuleInstance(HINSTANCE instance) noexcept;

// Holds one module lock for the lifetime of the owning object.
class ModuleLockHolder {
 public:
  ModuleLockHolder() noexcept { lockModule(); }
  ~ModuleLockHolder() { unlockModule(); }
  ModuleLockHolder(const ModuleLockHolder&) = delete;
  ModuleLockHolder& operator=(const ModuleLockHolder&) = delete;
};

}  // namespace corvane
