// The table of creatable classes and the module entry points that walk it.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "shell/com_owners.h"

namespace corvane {

using RegistryUpdateFunction = HRESULT (*)(bool registering);
using InstanceCreator = HRESULT (*)(IUnknown* outer, REFIID iid, void** out);
using ClassObjectCreator = HRESULT (*)(InstanceCreator creator, REFIID iid, void** out);

struct ObjectMapEntry {
  const CLSID* classId;                  // null ends the map
  RegistryUpdateFunction updateRegistry;
  ClassObjectCreator createClassObject;  // an entry without one is never handed out
  InstanceCreator createInstance;
  ComPtr<IUnknown> classObject;          // cached; the module owns this reference
  const wchar_t* (*description)();       // non-null keeps the entry out of registration
  const GUID* (*categories)();           // component categories to register, or null
  void (*classHook)(bool starting);
};

// The module's map: one entry, for Installer, then the end marker.
ObjectMapEntry* objectMap() noexcept;

// Entry-point work, kept apart from the exported names so tests and the DLL share it.
void processAttach(HINSTANCE instance) noexcept;
void processDetach() noexcept;
HRESULT getClassObject(REFCLSID classId, REFIID iid, void** out) noexcept;
HRESULT canUnloadNow() noexcept;
HRESULT registerServer() noexcept;
HRESULT unregisterServer() noexcept;

}  // namespace corvane
