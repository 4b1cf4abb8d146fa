// Helpers for tests that run under Wine against the real platform.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

#include "shell/com_owners.h"

namespace corvane::testing {

// The calling thread's error information, read and cleared.
struct ThreadErrorInfo {
  bool present = false;
  std::wstring description;
  std::wstring source;
  GUID guid{};
};
ThreadErrorInfo takeThreadErrorInfo();

// Writes HKCR\CLSID\{clsid}\ProgID for the life of the object (removed afterwards).
class ScopedProgIdRegistration {
 public:
  ScopedProgIdRegistration(REFCLSID classId, const wchar_t* progId);
  ~ScopedProgIdRegistration();
  ScopedProgIdRegistration(const ScopedProgIdRegistration&) = delete;
  ScopedProgIdRegistration& operator=(const ScopedProgIdRegistration&) = delete;

 private:
  std::wstring classKey_;
};

std::wstring guidText(REFGUID guid);
UniqueBstr makeBstr(const wchar_t* text);
UniqueBstr makeBstr(const wchar_t* text, UINT length);

}  // namespace corvane::testing
