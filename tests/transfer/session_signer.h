// A real signer for session values: OpenSSL through python3-cryptography natively, the
// reference component server under Wine. fault is "" (a correct signature), "wrong-key",
// "sha256" or "sign-hex-text".
#pragma once

#include <string>

namespace corvane::testing {

std::string signSession(const std::string& sessionHex, const std::string& fault);

}  // namespace corvane::testing
