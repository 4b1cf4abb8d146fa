#include "trust/accepted_serials.h"

#include <windows.h>

#include "base/unique_resource.h"

namespace corvane {
namespace {

constexpr char kStoreKey[] = "Software\\Corvane\\Installer\\AcceptedManifests";

constexpr char kStoreLockName[] = "Local\\Corvane.Installer.AcceptedManifests";
constexpr DWORD kStoreLockWaitMs = 10000;

// Several processes of one user may accept manifests at once: the serial is read, compared
// and written under one lock, so that a slower writer of a lower serial cannot lower it.
class StoreLock {
 public:
  StoreLock() : mutex_(::CreateMutexA(nullptr, FALSE, kStoreLockName)) {
    if (!mutex_) return;
    const DWORD waited = ::WaitForSingleObject(mutex_.get(), kStoreLockWaitMs);
    // An owner that died left the serial either written or not: both are whole values.
    held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
  }
  ~StoreLock() {
    if (held_) ::ReleaseMutex(mutex_.get());
  }
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;
  bool held() const { return held_; }

 private:
  UniqueHandle mutex_;
  bool held_ = false;
};

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

SerialDecision acceptSerialUnderLock(const std::string& keyFingerprint,
                                     const std::function<std::optional<uint64_t>(uint64_t highest)>& judge) {
  const StoreLock lock;
  if (!lock.held()) return SerialDecision::StoreUnreadable;
  const UniqueRegistryKey store = openStore(KEY_QUERY_VALUE | KEY_SET_VALUE);
  if (!store) return SerialDecision::StoreUnreadable;
  const std::optional<uint64_t> stored = readSerial(store.get(), keyFingerprint);
  if (!stored) return SerialDecision::StoreUnreadable;
  const std::optional<uint64_t> accepted = judge(*stored);
  if (!accepted) return SerialDecision::NotAccepted;
  if (*accepted <= *stored) return SerialDecision::Accepted;
  return ::RegSetValueExA(store.get(), keyFingerprint.c_str(), 0, REG_QWORD, reinterpret_cast<const BYTE*>(&*accepted),
                          sizeof *accepted) == ERROR_SUCCESS
             ? SerialDecision::Accepted
             : SerialDecision::NotRecorded;
}

}  // namespace corvane
