#include "server_allowlist.h"

#include <cctype>

namespace corvane {
namespace {
bool equalIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}
}  // namespace

bool hostInAllowList(std::string_view host, std::string_view allowedHosts) {
  bool listNamesAnyHost = false;
  while (true) {
    const size_t separator = allowedHosts.find(';');
    const std::string_view entry = allowedHosts.substr(0, separator);
    if (!entry.empty()) {
      listNamesAnyHost = true;
      if (equalIgnoringCase(entry, host)) return true;
    }
    if (separator == std::string_view::npos) break;
    allowedHosts.remove_prefix(separator + 1);
  }
  return !listNamesAnyHost;
}

}  // namespace corvane
