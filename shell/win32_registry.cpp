#include "shell/win32_registry.h"

namespace corvane {
namespace {

HKEY handleOf(RegistryAccess::Key key) { return reinterpret_cast<HKEY>(key); }
RegistryAccess::Key keyOf(HKEY key) { return reinterpret_cast<RegistryAccess::Key>(key); }

REGSAM samOf(RegistryAccess::Access access) {
  switch (access) {
    case RegistryAccess::Access::All:
      return KEY_ALL_ACCESS;
    case RegistryAccess::Access::Read:
      return KEY_READ;
    case RegistryAccess::Access::ReadWrite:
      return KEY_READ | KEY_WRITE;
  }
  return KEY_READ;
}

}  // namespace

RegistryAccess::Key Win32Registry::root(RootKey which) {
  switch (which) {
    case RootKey::ClassesRoot:
      return keyOf(HKEY_CLASSES_ROOT);
    case RootKey::CurrentUser:
      return keyOf(HKEY_CURRENT_USER);
    case RootKey::LocalMachine:
      return keyOf(HKEY_LOCAL_MACHINE);
    case RootKey::Users:
      return keyOf(HKEY_USERS);
    case RootKey::PerformanceData:
      return keyOf(HKEY_PERFORMANCE_DATA);
    case RootKey::DynData:
      return keyOf(HKEY_DYN_DATA);
    case RootKey::CurrentConfig:
      return keyOf(HKEY_CURRENT_CONFIG);
  }
  return 0;
}

long Win32Registry::openKey(Key parent, const std::string& name, Access access, Key* out) {
  HKEY key = nullptr;
  const LONG result = ::RegOpenKeyExA(handleOf(parent), name.c_str(), 0, samOf(access), &key);
  if (result == ERROR_SUCCESS) *out = keyOf(key);
  return result;
}

long Win32Registry::createKey(Key parent, const std::string& name, Key* out) {
  HKEY key = nullptr;
  const LONG result = ::RegCreateKeyExA(handleOf(parent), name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                        KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (result == ERROR_SUCCESS) *out = keyOf(key);
  return result;
}

long Win32Registry::closeKey(Key key) { return ::RegCloseKey(handleOf(key)); }

long Win32Registry::setValue(Key key, const std::string* name, std::uint32_t type,
                             const std::vector<unsigned char>& data) {
  return ::RegSetValueExA(handleOf(key), name ? name->c_str() : nullptr, 0, type, data.data(),
                          static_cast<DWORD>(data.size()));
}

long Win32Registry::deleteValue(Key key, const std::string& name) {
  return ::RegDeleteValueA(handleOf(key), name.c_str());
}

long Win32Registry::deleteKey(Key parent, const std::string& name) {
  return ::RegDeleteKeyA(handleOf(parent), name.c_str());
}

long Win32Registry::enumerateKey(Key key, std::uint32_t index, std::string* name) {
  char buffer[256] = {};
  DWORD length = sizeof buffer;
  const LONG result = ::RegEnumKeyExA(handleOf(key), index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
  if (result == ERROR_SUCCESS) name->assign(buffer, length);
  return result;
}

long Win32Registry::countSubkeys(Key key, std::uint32_t* count) {
  DWORD subkeys = 0;
  const LONG result = ::RegQueryInfoKeyA(handleOf(key), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                         nullptr, nullptr, nullptr, nullptr, nullptr);
  if (result == ERROR_SUCCESS) *count = subkeys;
  return result;
}

CodePage ansiCodePage() {
  CodePage codePage;
  codePage.isLeadByte = [](unsigned char byte) { return ::IsDBCSLeadByte(byte) != FALSE; };
  codePage.narrow = [](const std::u16string& wide) {
    std::string narrow;
    if (wide.empty()) return narrow;
    const auto* units = reinterpret_cast<const wchar_t*>(wide.c_str());
    const int length = static_cast<int>(wide.size());
    const int size = ::WideCharToMultiByte(CP_ACP, 0, units, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return narrow;
    narrow.resize(static_cast<std::size_t>(size));
    ::WideCharToMultiByte(CP_ACP, 0, units, length, &narrow[0], size, nullptr, nullptr);
    return narrow;
  };
  return codePage;
}

}  // namespace corvane
