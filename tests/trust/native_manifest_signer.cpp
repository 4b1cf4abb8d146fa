#include "tests/trust/native_manifest_signer.h"

#include <stdexcept>

#include "tests/transfer/native_python.h"

namespace corvane::testing {

OpenSslSignature signWithOpenSsl(const char* seedHex, const std::string& text) {
  const std::string output = runPython(std::string("'") + CORVANE_SIGN_MANIFEST_SCRIPT + "' " + seedHex, text);
  const size_t space = output.find(' ');
  const std::optional<ManifestPublicKey> key =
      space == std::string::npos ? std::nullopt : manifestKeyFromHex(output.substr(0, space));
  if (!key) throw std::runtime_error("the signing script printed no key: " + output);
  return OpenSslSignature{*key, output.substr(space + 1)};
}

}  // namespace corvane::testing
