// Helpers for tests that drive the built VARuDevavuzez.dll through real hosts:
// regsvr32, cscript and the registry.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "base/unique_resource.h"
#include "shell/com_owners.h"

namespace corvane::testing {

inline const wchar_t* const kClassKey = L"CLSID\\{5A3C1E77-2B94-4D0F-9C61-0E8B47D2A913}";
inline const wchar_t* const kTypeLibKey = L"TypeLib\\{7E20B4D9-61C3-4A85-8F17-D93A0C5E2B64}";
// Every key the control's registration writes below HKCR: its ProgIDs, its class, its type
// library and the library's interfaces.
inline const wchar_t* const kRegistrationKeys[] = {
    L"VARuDevavuzez.Installer.1", L"VARuDevavuzez.Installer", kClassKey, kTypeLibKey,
    L"Interface\\{3F6B2C81-7D45-4E9A-A1C3-5B8E2D907F14}", L"Interface\\{B4E19D62-0C7A-4F53-9E28-61D3A7C5F08B}"};

// The DLL under test, as a Windows path.
std::wstring serverDllPath();
// A file in the directory of tests/shell sources, as a Windows path.
std::wstring testSourcePath(const wchar_t* name);
// The type library file widl made for the module.
std::wstring typeLibraryFilePath();
// The registry script source and a type library widl made for 32-bit Windows.
std::wstring registryScriptFilePath();
std::wstring win32TypeLibraryFilePath();
std::wstring systemProgram(const wchar_t* name);

struct ProcessResult {
  DWORD exitCode = 0xFFFFFFFF;
  std::string output;  // stdout and stderr together
};
// Runs a command line to its end, with its output captured, in `directory` when given.
ProcessResult runProcess(const std::wstring& commandLine, const std::wstring& directory = std::wstring());

// regsvr32 /s [/u] path: its exit code.
DWORD regsvr32(const std::wstring& path, bool unregister = false);

bool keyExists(HKEY root, const std::wstring& path);
std::optional<std::wstring> stringValue(HKEY root, const std::wstring& path, const wchar_t* name);
void deleteTree(HKEY root, const std::wstring& path);
// Every key and value below kRegistrationKeys, one line each, for whole-state comparisons.
std::wstring registrationState();

std::string narrow(const std::wstring& text);
// A JScript string literal: what a page could write, any character included.
std::string jsString(const std::wstring& text);

}  // namespace corvane::testing
