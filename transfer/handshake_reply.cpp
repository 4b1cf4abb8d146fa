#include "transfer/handshake_reply.h"

namespace corvane {

std::optional<HandshakeReply> parseHandshakeReply(std::string_view reply) {
  const auto dash = reply.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  const auto slash = reply.find('/', dash + 1);
  if (slash == std::string_view::npos || slash == dash + 1) return std::nullopt;
  const auto equals = reply.find('=', slash + 1);
  if (equals == std::string_view::npos || equals == slash + 1) return std::nullopt;
  return HandshakeReply{std::string(reply.substr(dash + 1, slash - dash - 1)),
                        std::string(reply.substr(slash + 1, equals - slash - 1))};
}

}  // namespace corvane
