// The signed manifest beside a server's catalog, fetched and judged by the build's key.
#pragma once

#include <optional>
#include <string>

#include "trust/signed_manifest.h"

namespace corvane {

constexpr char kManifestName[] = "cvprobecl.manifest";
constexpr char kManifestSignatureName[] = "cvprobecl.manifest.sig";
constexpr uint64_t kMaxManifestBytes = 1024 * 1024;

// The manifest at baseUrl, when it and its signature are fetched on the catalog's terms
// (same server, no redirect off it, time-outs, at most kMaxManifestBytes each) and it is
// accepted for `catalog` (null: no catalog compared). Acceptance raises this user's
// highest accepted serial for the key; a serial that cannot be read or stored accepts
// nothing. Logs why a manifest is refused. Never throws but for memory.
std::optional<Manifest> fetchAcceptedManifest(const std::string& baseUrl, const ManifestPublicKey& key,
                                              const std::string* catalog);

}  // namespace corvane
