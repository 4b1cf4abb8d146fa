// The build's ALLOWED_SERVER_ORIGINS setting, kept in its own unit so that only this file
// is rebuilt when it changes, and a test can link a list of its own in its place.
#include "generated/allowed_server_origins.h"
#include "shell/server_allowlist.h"

namespace corvane {
std::string_view allowedServerOrigins() { return CORVANE_ALLOWED_SERVER_ORIGINS; }
}  // namespace corvane
