// Deployments that know their component server can build the control to talk to no
// other: the handshake only proves that someone could get the real server to sign a
// challenge, so a page pointing BaseURL at its own relay would otherwise pass. Servers are
// named by origin (scheme, host and port), so that neither another port of an allowed
// host nor plain http in place of https gets through.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/origin.h"

namespace corvane {

// The build's ALLOWED_SERVER_ORIGINS (entries separated by semicolons); empty when the
// build allows every server. A function, so that a test can link a list of its own.
std::string_view allowedServerOrigins();

// True when the list names no entry, or when one entry has the origin's scheme, host
// (letter case aside) and port. A list with a malformed entry allows nothing, and neither
// does an origin that could not be read (nullopt) from a list that names any. Free of
// platform calls: the caller takes the origin out of the URL.
bool originInAllowList(const std::optional<Origin>& origin, std::string_view list);

// Why the origin does not pass the list, naming the origin and the list, for the
// diagnostic log; empty when it passes.
std::string allowListProblem(const std::optional<Origin>& origin, std::string_view list);

}  // namespace corvane
