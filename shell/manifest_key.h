// The key whose signed manifest the build requires, if it requires one.
#pragma once

#include <optional>

#include "trust/signed_manifest.h"

namespace corvane {

// nullopt in a build without MANIFEST_PUBLIC_KEY_FILE.
std::optional<ManifestPublicKey> requiredManifestKey();

}  // namespace corvane
