// The build's ALLOWED_SERVER_HOSTS setting, kept in its own unit so that only this file
// is rebuilt when it changes.
#include "generated/allowed_server_hosts.h"
#include "shell/server_allowlist.h"

namespace corvane {
const char kAllowedServerHosts[] = CORVANE_ALLOWED_SERVER_HOSTS;
}  // namespace corvane
