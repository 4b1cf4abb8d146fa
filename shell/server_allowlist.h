// Deployments that know their component server can build the control to talk to no
// other: the handshake only proves that someone could get the real server to sign a
// challenge, so a page pointing BaseURL at its own relay would otherwise pass.
#pragma once

#include <string_view>

namespace corvane {

// Host names from the ALLOWED_SERVER_HOSTS build setting, separated by semicolons;
// empty when the build allows every server.
extern const char kAllowedServerHosts[];

// True when the list is empty or names the host (letter case ignored). Free of platform
// calls: the caller takes the host out of the URL.
bool hostInAllowList(std::string_view host, std::string_view allowedHosts);

}  // namespace corvane
