// The allowed-origin list of the restricted-server test, set by the test at run time:
// the shared component server's port is known only then. Linked in place of the build's
// own list; the product never reads it.
#pragma once

#include <string>

namespace corvane::testing {
extern std::string allowedOriginsForTest;
}  // namespace corvane::testing
