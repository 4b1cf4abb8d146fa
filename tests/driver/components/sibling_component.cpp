// The library that another component imports from. Whenever a process loads it, it
// appends one line to "<its own path>.loaded", so a test can tell which copy was loaded.
#include <windows.h>

#include <cstdio>

extern "C" __declspec(dllexport) int siblingValue() { return 7; }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char path[MAX_PATH + 8] = {};
  const DWORD length = ::GetModuleFileNameA(instance, path, MAX_PATH);
  if (length > 0 && length < MAX_PATH) {
    std::snprintf(path + length, sizeof(path) - length, ".loaded");
    if (FILE* marker = std::fopen(path, "a")) {
      std::fputs("loaded\n", marker);
      std::fclose(marker);
    }
  }
  return TRUE;
}
