// Module-wide state: the instance handle, the count of reasons not to unload, the two
// locks around lazily built module-wide caches, and the clean-ups run at unload.
#pragma once

#include <windows.h>

namespace corvane {

struct ObjectMapEntry;

// A clean-up action run at process detach, most recently added first.
using TerminationFunction = void (*)(DWORD_PTR argument);
struct TerminationNode {
  TerminationFunction function;
  DWORD_PTR argument;
  TerminationNode* next;
};

struct ModuleState {
  HINSTANCE instance = nullptr;
  ObjectMapEntry* objectMap = nullptr;
  volatile LONG lockCount = 0;
  CRITICAL_SECTION typeInfoLock;   // type information loads and termination-list pushes
  CRITICAL_SECTION objectMapLock;  // creation of cached class objects
  TerminationNode* terminationList = nullptr;
};

// The one record. Its locks exist from static initialisation (before the entry point
// runs, and also in test programs that link the objects without a DLL around them).
ModuleState& moduleState() noexcept;

// Every live object, enumerator, held class object and server lock holds one.
void lockModule() noexcept;
void unlockModule() noexcept;
LONG moduleLockCount() noexcept;

// The DLL's own instance; null in a test executable that links the objects directly.
HINSTANCE moduleInstance() noexcept;
void setModuleInstance(HINSTANCE instance) noexcept;

// Pushes a clean-up at the head of the termination list (under the type-information
// lock). False when the node cannot be allocated.
bool addTermination(TerminationFunction function, DWORD_PTR argument) noexcept;
// Runs and frees the list from its head; the list is empty afterwards.
void runTerminationList() noexcept;
// Deletes the two critical sections (process detach); later calls do nothing.
void deleteModuleLocks() noexcept;
size_t terminationListLength() noexcept;

// Holds one module lock for the lifetime of the owning object.
class ModuleLockHolder {
 public:
  ModuleLockHolder() noexcept { lockModule(); }
  ~ModuleLockHolder() { unlockModule(); }
  ModuleLockHolder(const ModuleLockHolder&) = delete;
  ModuleLockHolder& operator=(const ModuleLockHolder&) = delete;
};

}  // namespace corvane
