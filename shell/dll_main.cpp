// The DLL's entry point and its four exports.
#include <windows.h>

#include "shell/object_map.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    corvane::processAttach(instance);
  } else if (reason == DLL_PROCESS_DETACH) {
    corvane::processDetach();
  }
  return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID classId, REFIID iid, void** out) {
  return corvane::getClassObject(classId, iid, out);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() { return corvane::canUnloadNow(); }

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() { return corvane::registerServer(); }

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() { return corvane::unregisterServer(); }
