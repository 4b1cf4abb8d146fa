// A component library for the update tests. Its DllRegisterServer appends one line to
// "<its own path>.ran", so a test can count how often the installer called it, and
// returns REGISTER_RESULT. Built without the export when NO_REGISTER_EXPORT is set, and
// with an import from the sibling library (sibling_component.cpp) when CALLS_SIBLING is.
#include <windows.h>

#include <cstdio>

#ifdef CALLS_SIBLING
extern "C" __declspec(dllimport) int siblingValue();
#endif

#ifndef NO_REGISTER_EXPORT
extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllRegisterServer() {
  HMODULE self = nullptr;
  ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&DllRegisterServer), &self);
  char path[MAX_PATH + 8] = {};
  const DWORD length = ::GetModuleFileNameA(self, path, MAX_PATH);
  if (length > 0 && length < MAX_PATH) {
    std::snprintf(path + length, sizeof(path) - length, ".ran");
    if (FILE* marker = std::fopen(path, "a")) {
      std::fputs("DllRegisterServer\n", marker);
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
