// BaseURL and AuthPath go into request lines and URLs as they are: a page must not be
// able to add a header, a scheme of its own or credentials through them. Free of
// platform calls, so it is tested natively as well.
#pragma once

#include <string>
#include <string_view>

namespace corvane {

// An absolute http or https URL with a host name or IPv4 address (and perhaps a port), no
// user name or password, no query or fragment, no backslash, and no byte outside 0x21-0x7E.
bool baseUrlFitsTheWire(std::string_view baseUrl);

// Begins with '/' and holds no byte outside 0x21-0x7E.
bool authPathFitsTheWire(std::string_view authPath);

// Which of these rules a setting breaks and where, for the diagnostic log; empty when it
// fits.
std::string baseUrlProblem(std::string_view baseUrl);
std::string authPathProblem(std::string_view authPath);

}  // namespace corvane
