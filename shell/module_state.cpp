#include "shell/module_state.h"

#include <new>

#include "shell/com_owners.h"

namespace corvane {
namespace {

// Creates the locks during static initialisation; process detach deletes them.
struct ModuleStateHolder {
  ModuleStateHolder() {
    ::InitializeCriticalSection(&state.typeInfoLock);
    ::InitializeCriticalSection(&state.objectMapLock);
  }
  ModuleState state;
  bool locksDeleted = false;
};

ModuleStateHolder& holder() noexcept {
  static ModuleStateHolder instance;
  return instance;
}

// Created before main or the entry point, while only one thread runs.
[[maybe_unused]] ModuleStateHolder& earlyHolder = holder();

}  // namespace

ModuleState& moduleState() noexcept { return holder().state; }

void lockModule() noexcept { ::InterlockedIncrement(&moduleState().lockCount); }
void unlockModule() noexcept { ::InterlockedDecrement(&moduleState().lockCount); }
LONG moduleLockCount() noexcept { return ::InterlockedCompareExchange(&moduleState().lockCount, 0, 0); }
HINSTANCE moduleInstance() noexcept { return moduleState().instance; }
void setModuleInstance(HINSTANCE value) noexcept { moduleState().instance = value; }

bool addTermination(TerminationFunction function, DWORD_PTR argument) noexcept {
  auto* node = new (std::nothrow) TerminationNode{function, argument, nullptr};
  if (node == nullptr) return false;
  CriticalSectionGuard guard(moduleState().typeInfoLock);
  node->next = moduleState().terminationList;
  moduleState().terminationList = node;
  return true;
}

void runTerminationList() noexcept {
  TerminationNode* node = moduleState().terminationList;
  moduleState().terminationList = nullptr;
  while (node != nullptr) {
    TerminationNode* next = node->next;
    node->function(node->argument);
    delete node;
    node = next;
  }
}

void deleteModuleLocks() noexcept {
  if (holder().locksDeleted) return;
  holder().locksDeleted = true;
  ::DeleteCriticalSection(&moduleState().typeInfoLock);
  ::DeleteCriticalSection(&moduleState().objectMapLock);
}

size_t terminationListLength() noexcept {
  CriticalSectionGuard guard(moduleState().typeInfoLock);
  size_t length = 0;
  for (const TerminationNode* node = moduleState().terminationList; node != nullptr; node = node->next) ++length;
  return length;
}

}  // namespace corvane
