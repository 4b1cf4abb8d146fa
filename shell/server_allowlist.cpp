#include "shell/server_allowlist.h"

#include "base/ascii.h"

namespace corvane {

bool hostInAllowList(std::string_view host, std::string_view allowedHosts) {
  bool listNamesAnyHost = false;
  while (true) {
    const size_t separator = allowedHosts.find(';');
    const std::string_view entry = allowedHosts.substr(0, separator);
    if (!entry.empty()) {
      listNamesAnyHost = true;
      if (equalsIgnoringAsciiCase(entry, host)) return true;
    }
    if (separator == std::string_view::npos) break;
    allowedHosts.remove_prefix(separator + 1);
  }
  return !listNamesAnyHost;
}

}  // namespace corvane
