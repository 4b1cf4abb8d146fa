// Deployments that know their component server can build the control to talk to no
// other: the handshake only proves that someone could get the real server to sign a
// challenge, so a page pointing BaseURL at its own relay would otherwise pass. Servers are
// named by origin (scheme, host and port), so that neither another port of an allowed
// host nor plain http in place of https gets through.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

struct ServerOrigin {
  std::string scheme;  // "http" or "https"
  std::string host;
  unsigned int port = 0;
};

// The build's ALLOWED_SERVER_ORIGINS (entries separated by semicolons); empty when the
// build allows every server. A function, so that a test can link a list of its own.
std::string_view allowedServerOrigins();

// One entry: "https://host", "https://host:port" or "http://host:port" (a plain-http
// server must name its port), host of letters, digits, dots and hyphens, port 1-65535.
// nullopt for any other form.
std::optional<ServerOrigin> parseOriginEntry(std::string_view entry);

// Every entry of a semicolon-separated list (empty pieces skipped); nullopt when one
// entry has another form.
std::optional<std::vector<ServerOrigin>> parseOriginList(std::string_view list);

// True when the list names no entry, or when one entry has the origin's scheme, host
// (letter case aside) and port, https without a port meaning 443. A list with a malformed
// entry allows nothing. Free of platform calls: the caller takes the origin out of the URL.
bool originInAllowList(const ServerOrigin& origin, std::string_view list);

}  // namespace corvane
