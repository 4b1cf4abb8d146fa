#include "shell/object_map.h"

#include "shell/class_factory.h"
#include "shell/installer.h"
#include "shell/module_state.h"
#include "shell/com_owners.h"
#include "shell/registrar.h"

namespace corvane {
namespace {

const wchar_t* noDescription() { return nullptr; }
const GUID* noCategories() { return nullptr; }
void noClassHook(bool) {}

ObjectMapEntry entries[] = {
    {&CLSID_Installer, &updateInstallerRegistry, &ClassFactory::create, &Installer::create, nullptr,
     &noDescription, &noCategories, &noClassHook},
    {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

ObjectMapEntry* objectMap() noexcept { return entries; }

void processAttach(HINSTANCE instance) noexcept {
  ModuleState& state = moduleState();
  state.instance = instance;
  state.objectMap = objectMap();
  for (ObjectMapEntry* entry = state.objectMap; entry->classId != nullptr; ++entry) entry->classHook(true);
  ::DisableThreadLibraryCalls(instance);
}

void processDetach() noexcept {
  ModuleState& state = moduleState();
  for (ObjectMapEntry* entry = objectMap(); entry->classId != nullptr; ++entry) {
    entry->classObject.reset();
    entry->classHook(false);
  }
  deleteModuleLocks();
  runTerminationList();
  (void)state;
}

HRESULT getClassObject(REFCLSID classId, REFIID iid, void** out) noexcept {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  HRESULT result = S_OK;
  for (ObjectMapEntry* entry = objectMap(); entry->classId != nullptr; ++entry) {
    if (entry->createClassObject == nullptr || !IsEqualCLSID(*entry->classId, classId)) continue;
    if (!entry->classObject) {
      CriticalSectionGuard guard(moduleState().objectMapLock);
      if (!entry->classObject) {
        result = entry->createClassObject(entry->createInstance, IID_IUnknown, entry->classObject.putVoid());
      }
    }
    if (entry->classObject) result = entry->classObject->QueryInterface(iid, out);
    break;
  }
  if (*out == nullptr && result == S_OK) result = CLASS_E_CLASSNOTAVAILABLE;
  return result;
}

HRESULT canUnloadNow() noexcept { return moduleLockCount() == 0 ? S_OK : S_FALSE; }

HRESULT registerServer() noexcept {
  for (ObjectMapEntry* entry = objectMap(); entry->classId != nullptr; ++entry) {
    if (entry->description() != nullptr) continue;
    const HRESULT result = entry->updateRegistry(true);
    if (FAILED(result)) return result;
  }
  return registerTypeLibrary(moduleInstance());
}

HRESULT unregisterServer() noexcept {
  for (ObjectMapEntry* entry = objectMap(); entry->classId != nullptr; ++entry) {
    if (entry->description() != nullptr) continue;
    entry->updateRegistry(false);
  }
  unregisterTypeLibrary(moduleInstance());
  return S_OK;
}

}  // namespace corvane
