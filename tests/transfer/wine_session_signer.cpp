#include <stdexcept>

#include "transfer/handshake_reply.h"
#include "support/server_client.h"
#include "tests/transfer/session_signer.h"
#include "support/served_files.h"

namespace corvane::testing {

// The server signs whatever session value it is sent; its fault switches pick the
// kind of wrong signature.
std::string signSession(const std::string& sessionHex, const std::string& fault) {
  const std::string url = componentServerUrl() + (fault.empty() ? "" : "_fault/" + fault + "/") + "signer-auth";
  const auto reply = parseHandshakeReply(httpPost(url, "SessionID=" + sessionHex));
  if (!reply) throw std::runtime_error("the server's reply did not parse");
  return reply->signature;
}

}  // namespace corvane::testing
