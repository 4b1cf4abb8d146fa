#include "trust/install_ledger.h"

#include <cstring>
#include <optional>
#include <vector>

#include "base/mutation_points.h"
#include "trust/signed_manifest.h"

namespace corvane {
namespace {

constexpr char kLedgerKey[] = "Software\\Corvane\\Installer\\InstalledFiles";
// A record: the size (8 bytes, little-endian as the platform stores it) and the SHA-256.
constexpr DWORD kRecordBytes = sizeof(uint64_t) + sizeof(Sha256Digest);
const HKEY kLedgers[] = {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE};

// The name a file has in the ledger: its full path, letter case folded by the code page as
// the file system compares names.
std::optional<std::string> ledgerName(const std::string& path) {
  const DWORD needed = ::GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return std::nullopt;
  std::string full(needed, '\0');
  const DWORD length = ::GetFullPathNameA(path.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return std::nullopt;
  full.resize(length);
  ::CharUpperBuffA(full.data(), length);
  return full;
}

UniqueRegistryKey openLedger(HKEY root, REGSAM access, bool create) {
  UniqueRegistryKey key;
  const LONG status = create ? ::RegCreateKeyExA(root, kLedgerKey, 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                                                 nullptr, key.put(), nullptr)
                             : ::RegOpenKeyExA(root, kLedgerKey, 0, access, key.put());
  if (status != ERROR_SUCCESS) key.release();
  return key;
}

std::optional<ExpectedContent> recordIn(HKEY root, const std::string& name) {
  const UniqueRegistryKey ledger = openLedger(root, KEY_QUERY_VALUE, false);
  if (!ledger) return std::nullopt;
  BYTE bytes[kRecordBytes] = {};
  DWORD type = 0, size = sizeof bytes;
  if (::RegQueryValueExA(ledger.get(), name.c_str(), nullptr, &type, bytes, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  // Anything but what this code writes is no record.
  if (type != REG_BINARY || size != kRecordBytes) return std::nullopt;
  ExpectedContent content;
  std::memcpy(&content.size, bytes, sizeof content.size);
  std::memcpy(content.sha256.data(), bytes + sizeof content.size, content.sha256.size());
  return content;
}

bool writeRecord(HKEY root, const std::string& name, const ExpectedContent& content) {
  const UniqueRegistryKey ledger = openLedger(root, KEY_SET_VALUE, true);
  if (!ledger) return false;
  BYTE bytes[kRecordBytes] = {};
  std::memcpy(bytes, &content.size, sizeof content.size);
  std::memcpy(bytes + sizeof content.size, content.sha256.data(), content.sha256.size());
  return ::RegSetValueExA(ledger.get(), name.c_str(), 0, REG_BINARY, bytes, kRecordBytes) == ERROR_SUCCESS;
}

UniqueHandle openForReading(const std::string& path) {
  return UniqueHandle(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

std::optional<ExpectedContent> contentOf(HANDLE file) {
  LARGE_INTEGER start{};
  if (!::SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return std::nullopt;
  ContentDigest digest;
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) return std::nullopt;
    if (got == 0) break;
    digest.add(buffer.data(), got);
  }
  return digest.finish();
}

bool sameContent(const ExpectedContent& a, const ExpectedContent& b) { return a.size == b.size && a.sha256 == b.sha256; }

}  // namespace

bool recordInstalledFile(const std::string& path) {
  const std::optional<std::string> name = ledgerName(path);
  if (!name) return false;
  const UniqueHandle file = openForReading(path);
  if (!file) return false;
  const std::optional<ExpectedContent> content = contentOf(file.get());
  if (!content) return false;
  return mutateFileSystem("record installed file", [&] {
    writeRecord(HKEY_LOCAL_MACHINE, *name, *content);  // only where the process may
    return writeRecord(HKEY_CURRENT_USER, *name, *content);
  });
}

bool ledgerHolds(const std::string& path) {
  const std::optional<std::string> name = ledgerName(path);
  if (!name) return false;
  for (HKEY root : kLedgers) {
    if (recordIn(root, *name)) return true;
  }
  return false;
}

void forgetInstalledFile(const std::string& path) {
  const std::optional<std::string> name = ledgerName(path);
  if (!name) return;
  mutateFileSystem("forget installed file", [&] {
    for (HKEY root : kLedgers) {
      if (const UniqueRegistryKey ledger = openLedger(root, KEY_SET_VALUE, false)) {
        ::RegDeleteValueA(ledger.get(), name->c_str());
      }
    }
    return true;
  });
}

const char* vouchingText(Vouching vouching) noexcept {
  switch (vouching) {
    case Vouching::Vouched: return "installed by this control";
    case Vouching::NotInstalled: return "not installed by this control";
    case Vouching::Changed: return "changed since it was installed";
    case Vouching::NotReadable: return "cannot be read to check it";
  }
  return "unknown";
}

HeldFile holdIfVouched(const std::string& path) {
  HeldFile held;
  const std::optional<std::string> name = ledgerName(path);
  std::vector<ExpectedContent> recorded;
  for (HKEY root : kLedgers) {
    if (name) {
      if (std::optional<ExpectedContent> record = recordIn(root, *name)) recorded.push_back(*record);
    }
  }
  if (recorded.empty()) {
    held.vouching = Vouching::NotInstalled;
    return held;
  }
  held.handle = openForReading(path);
  const std::optional<ExpectedContent> content = held.handle ? contentOf(held.handle.get()) : std::nullopt;
  if (!content) {
    held.handle.reset();
    held.vouching = Vouching::NotReadable;
    return held;
  }
  held.vouching = Vouching::Changed;
  for (const ExpectedContent& record : recorded) {
    if (sameContent(record, *content)) held.vouching = Vouching::Vouched;
  }
  if (held.vouching != Vouching::Vouched) held.handle.reset();
  return held;
}

}  // namespace corvane
