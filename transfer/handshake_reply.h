// The server's answer to the session handshake: "-" echo "/" signature "=", with
// anything before the "-" and from the "=" on ignored.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvane {

struct HandshakeReply {
  std::string echo;
  std::string signature;
};

// Empty when a separator is missing or a field is empty.
std::optional<HandshakeReply> parseHandshakeReply(std::string_view reply);

}  // namespace corvane
