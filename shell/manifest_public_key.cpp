// The build's MANIFEST_PUBLIC_KEY_FILE, in a unit of its own so that a test can link a key of
// its own in its place.
#include "generated/manifest_public_key.h"
#include "shell/manifest_key.h"

namespace corvane {

static_assert(sizeof CORVANE_MANIFEST_PUBLIC_KEY_HEX == 1 || sizeof CORVANE_MANIFEST_PUBLIC_KEY_HEX == 65,
              "the configure step gives 64 hexadecimal digits or none");

std::optional<ManifestPublicKey> requiredManifestKey() {
  if (sizeof CORVANE_MANIFEST_PUBLIC_KEY_HEX == 1) return std::nullopt;
  // A key that cannot be read must not turn the requirement off: no signature verifies
  // against a key of zeros.
  return manifestKeyFromHex(CORVANE_MANIFEST_PUBLIC_KEY_HEX).value_or(ManifestPublicKey{});
}

}  // namespace corvane
