#include "transfer/accepted_serials.h"

#include <windows.h>

#include "base/unique_resource.h"

namespace corvane {
namespace {

constexpr char kStoreKey[] = "Software\\Corvane\\Installer\\AcceptedManifests";

inline void closeRegistryKey(HKEY key) noexcept { ::RegCloseKey(key); }
using UniqueRegistryKey = UniqueResource<NullIsNoneTraits<HKEY, closeRegistryKey>>;

UniqueRegistryKey openStore(REGSAM access) {
  UniqueRegistryKey key;
  if (::RegCreateKeyExA(HKEY_CURRENT_USER, kStoreKey, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS) {
    key.release();
  }
  return key;
}

std::optional<uint64_t> readSerial(HKEY store, const std::string& name) {
  DWORD type = 0;
  uint64_t value = 0;
  DWORD size = sizeof value;
  const LONG status = ::RegQueryValueExA(store, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  if (status == ERROR_FILE_NOT_FOUND) return 0;
  // Anything but the value this code writes means someone else wrote it: not trusted.
  if (status != ERROR_SUCCESS || type != REG_QWORD || size != sizeof value) return std::nullopt;
  return value;
}

}  // namespace

std::optional<uint64_t> highestAcceptedSerial(const std::string& keyFingerprint) {
  const UniqueRegistryKey store = openStore(KEY_QUERY_VALUE);
  if (!store) return std::nullopt;
  return readSerial(store.get(), keyFingerprint);
}

bool recordAcceptedSerial(const std::string& keyFingerprint, uint64_t serial) {
  const UniqueRegistryKey store = openStore(KEY_QUERY_VALUE | KEY_SET_VALUE);
  if (!store) return false;
  const std::optional<uint64_t> stored = readSerial(store.get(), keyFingerprint);
  if (!stored) return false;
  // Two calls may accept manifests at once: the stored serial only ever grows.
  if (*stored >= serial) return true;
  return ::RegSetValueExA(store.get(), keyFingerprint.c_str(), 0, REG_QWORD, reinterpret_cast<const BYTE*>(&serial),
                          sizeof serial) == ERROR_SUCCESS;
}

}  // namespace corvane
