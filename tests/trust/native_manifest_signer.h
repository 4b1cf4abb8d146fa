// Manifests signed by OpenSSL (python3-cryptography), natively, for the manifest's tests
// and its fuzz target.
#pragma once

#include <string>

#include "trust/signed_manifest.h"

namespace corvane::testing {

struct OpenSslSignature {
  ManifestPublicKey key{};
  std::string signature;  // as the publishing tool writes it, line feed included
};

// Signs `text` with the Ed25519 key whose 32-byte seed is `seedHex`. Throws when it fails.
OpenSslSignature signWithOpenSsl(const char* seedHex, const std::string& text);

}  // namespace corvane::testing
