#include "tests/shell/server_support.h"

#include <shellapi.h>

#include "shell/com_owners.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace corvane::testing {
namespace {

std::wstring windowsPath(const char* unixPath) {
  std::wstring path = L"Z:";
  for (const char* c = unixPath; *c; ++c) path.push_back(*c == '/' ? L'\\' : static_cast<wchar_t>(*c));
  return path;
}

}  // namespace

std::wstring serverDllPath() { return windowsPath(SERVER_DLL_FILE); }
std::wstring testSourcePath(const wchar_t* name) { return windowsPath(SHELL_TEST_SOURCE_DIR) + L"\\" + name; }

std::wstring typeLibraryFilePath() { return windowsPath(TYPE_LIBRARY_FILE); }
std::wstring registryScriptFilePath() { return windowsPath(REGISTRY_SCRIPT_FILE); }
std::wstring win32TypeLibraryFilePath() { return windowsPath(WIN32_TYPE_LIBRARY_FILE); }

std::wstring systemProgram(const wchar_t* name) {
  wchar_t directory[MAX_PATH] = {};
  ::GetSystemDirectoryW(directory, MAX_PATH);
  return std::wstring(directory) + L"\\" + name;
}

std::string jsString(const std::wstring& text) {
  std::string literal = "\"";
  for (wchar_t c : text) {
    if (c == L'\\' || c == L'"') {
      literal += '\\';
      literal += static_cast<char>(c);
    } else if (c < 0x20 || c > 0x7E) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
      literal += escape;
    } else {
      literal += static_cast<char>(c);
    }
  }
  return literal + "\"";
}

std::string narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

ProcessResult runProcess(const std::wstring& commandLine, const std::wstring& directory) {
  ProcessResult result;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readRaw = nullptr, writeRaw = nullptr;
  if (!::CreatePipe(&readRaw, &writeRaw, &inherit, 0)) return result;
  UniqueHandle readEnd(readRaw), writeEnd(writeRaw);
  ::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writeEnd.get();
  startup.hStdError = writeEnd.get();
  PROCESS_INFORMATION process{};
  std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
  line.push_back(L'\0');
  if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &process)) {
    return result;
  }
  UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
  writeEnd.reset();  // the child holds the only writer now
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(readEnd.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) result.output.append(buffer, got);
  ::WaitForSingleObject(processHandle.get(), INFINITE);
  ::GetExitCodeProcess(processHandle.get(), &result.exitCode);
  return result;
}

DWORD regsvr32(const std::wstring& path, bool unregister) {
  std::wstring line = L"\"" + systemProgram(L"regsvr32.exe") + L"\" /s ";
  if (unregister) line += L"/u ";
  line += L"\"" + path + L"\"";
  return runProcess(line).exitCode;
}

bool keyExists(HKEY root, const std::wstring& path) {
  UniqueRegistryKey key;
  return ::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

std::optional<std::wstring> stringValue(HKEY root, const std::wstring& path, const wchar_t* name) {
  UniqueRegistryKey key;
  if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return std::nullopt;
  wchar_t buffer[1024] = {};
  DWORD size = sizeof buffer - sizeof(wchar_t);
  DWORD type = 0;
  if (::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ) {
    return std::nullopt;
  }
  return std::wstring(buffer);
}

void deleteTree(HKEY root, const std::wstring& path) { ::RegDeleteTreeW(root, path.c_str()); }

namespace {
// Every key and value below a key, one line each, children in the registry's order.
void dumpKey(HKEY root, const std::wstring& path, std::wstring& out) {
  UniqueRegistryKey key;
  if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
  out += path + L"\n";
  // Values sorted by name: writers differ in the order they create them.
  std::vector<std::wstring> values;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    BYTE data[1024];
    DWORD nameLength = 256, dataLength = sizeof data, type = 0;
    if (::RegEnumValueW(key.get(), index, name, &nameLength, nullptr, &type, data, &dataLength) != ERROR_SUCCESS) {
      break;
    }
    std::wstring line = L"  [" + std::wstring(name, nameLength) + L"] " + std::to_wstring(type) + L" ";
    if (type == REG_SZ) line += reinterpret_cast<const wchar_t*>(data);
    values.push_back(line + L"\n");
  }
  std::sort(values.begin(), values.end());
  for (const auto& value : values) out += value;
  std::vector<std::wstring> children;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD nameLength = 256;
    if (::RegEnumKeyExW(key.get(), index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    children.emplace_back(name, nameLength);
  }
  for (const auto& child : children) dumpKey(root, path + L"\\" + child, out);
}
}  // namespace

std::wstring registrationState() {
  std::wstring out;
  for (const wchar_t* path : kRegistrationKeys) dumpKey(HKEY_CLASSES_ROOT, path, out);
  return out;
}

}  // namespace corvane::testing
