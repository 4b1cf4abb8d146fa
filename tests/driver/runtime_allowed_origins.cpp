#include "tests/driver/runtime_allowed_origins.h"

#include "shell/server_allowlist.h"

namespace corvane {
namespace testing {
std::string allowedOriginsForTest;
}  // namespace testing

std::string_view allowedServerOrigins() { return testing::allowedOriginsForTest; }
}  // namespace corvane
