#include "tests/transfer/session_signer.h"

#include "tests/transfer/native_python.h"

namespace corvane::testing {

std::string signSession(const std::string& sessionHex, const std::string& fault) {
  std::string output = runPython(std::string("'") + CORVANE_SIGN_SCRIPT + "' '" + CORVANE_TEST_PRIVATE_KEY + "' '" +
                                     fault + "'",
                                 sessionHex);
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
  return output;
}

}  // namespace corvane::testing
