#include "transfer/manifest_fetch.h"

#include <windows.h>

#include "base/diagnostic_log.h"
#include "transfer/catalog_fetch.h"
#include "trust/accepted_serials.h"

namespace corvane {
namespace {

// Seconds since 1970 by the system clock.
int64_t currentUnixTime() {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  constexpr uint64_t kTicksPerSecond = 10000000;
  constexpr uint64_t kEpochOffsetSeconds = 11644473600;  // 1601-01-01 to 1970-01-01
  return static_cast<int64_t>(ticks / kTicksPerSecond) - static_cast<int64_t>(kEpochOffsetSeconds);
}

std::optional<Manifest> refuse(const char* why) {
  logStep("signed manifest refused: %s", why);
  return std::nullopt;
}

}  // namespace

std::optional<Manifest> fetchAcceptedManifest(const std::string& baseUrl, const ManifestPublicKey& key,
                                              const std::string* catalog) {
  const std::optional<std::string> manifest = fetchBeside(baseUrl, kManifestName, kMaxManifestBytes);
  if (!manifest) return refuse("it cannot be read");
  const std::optional<std::string> signature = fetchBeside(baseUrl, kManifestSignatureName, kMaxManifestBytes);
  if (!signature) return refuse("its signature cannot be read");

  ManifestCheck check;
  const SerialDecision decision = acceptSerialUnderLock(keyFingerprint(key), [&](uint64_t highest) {
    check = checkManifest(key, *manifest, *signature, currentUnixTime(), highest, catalog);
    return check.verdict == ManifestVerdict::Accepted ? std::optional<uint64_t>(check.manifest->serial)
                                                      : std::nullopt;
  });
  switch (decision) {
    case SerialDecision::StoreUnreadable: return refuse("the highest serial accepted so far cannot be read");
    case SerialDecision::NotAccepted: return refuse(manifestVerdictText(check.verdict));
    case SerialDecision::NotRecorded:
      return refuse("its serial cannot be recorded, so a later rollback could not be refused");
    case SerialDecision::Accepted: break;
  }
  logStep("signed manifest accepted: serial %s, %lu packages, %lu certificates",
          std::to_string(check.manifest->serial).c_str(), static_cast<unsigned long>(check.manifest->packages.size()),
          static_cast<unsigned long>(check.manifest->certificates.size()));
  return std::move(check.manifest);
}

}  // namespace corvane
