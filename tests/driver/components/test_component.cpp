// A component library for the update tests. Its DllRegisterServer appends one line to
// "<its own path>.ran", so a test can count how often the installer called it, and
// returns REGISTER_RESULT. Built without the export when NO_REGISTER_EXPORT is set, and
// with an import from the sibling library (sibling_component.cpp) when CALLS_SIBLING is.
// EDITION, when set, follows the marker's word, so a test can tell which build ran.
// PINS_ITSELF keeps the library in memory once registered, as some libraries do: the
// process cannot unload it.
#include <windows.h>

#include <cstdio>

#ifdef CALLS_SIBLING
extern "C" __declspec(dllimport) int siblingValue();
#endif

#ifndef EDITION
#define EDITION ""
#endif

#ifndef NO_REGISTER_EXPORT
extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllRegisterServer() {
  HMODULE self = nullptr;
  DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
#ifdef PINS_ITSELF
  flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN;
#endif
  ::GetModuleHandleExA(flags, reinterpret_cast<LPCSTR>(&DllRegisterServer), &self);
  char path[MAX_PATH + 8] = {};
  const DWORD length = ::GetModuleFileNameA(self, path, MAX_PATH);
  if (length > 0 && length < MAX_PATH) {
    std::snprintf(path + length, sizeof(path) - length, ".ran");
    if (FILE* marker = std::fopen(path, "a")) {
      std::fputs(EDITION[0] ? "DllRegisterServer " EDITION "\n" : "DllRegisterServer\n", marker);
      std::fclose(marker);
    }
  }
#ifdef CALLS_SIBLING
  if (siblingValue() != 7) return E_FAIL;
#endif
  return REGISTER_RESULT;
}
#endif

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
