#include "shell/server_allowlist.h"

namespace corvane {

bool originInAllowList(const std::optional<Origin>& origin, std::string_view list) {
  const std::optional<std::vector<Origin>> allowed = parseOriginList(list);
  if (!allowed) return false;
  if (allowed->empty()) return true;
  return origin && originListed(*origin, *allowed);
}

}  // namespace corvane
