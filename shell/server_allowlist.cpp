#include "shell/server_allowlist.h"

namespace corvane {
namespace {

std::string originText(const Origin& origin) {
  return std::string(origin.secure ? "https://" : "http://") + origin.host + ":" + std::to_string(origin.port);
}

}  // namespace

std::string allowListProblem(const std::optional<Origin>& origin, std::string_view list) {
  const std::optional<std::vector<Origin>> allowed = parseOriginList(list);
  const std::string listed = "ALLOWED_SERVER_ORIGINS \"" + std::string(list) + "\"";
  if (!allowed) return "the build's " + listed + " has a malformed entry, so it allows no server";
  if (allowed->empty()) return std::string();
  if (!origin) return "BaseURL's origin cannot be read, and the build allows only " + listed;
  if (originListed(*origin, *allowed)) return std::string();
  return "the origin " + originText(*origin) + " is not on the build's " + listed +
         " (a host name and its address are different entries; so are ports and schemes): use a listed "
         "origin, or build with this one added";
}

bool originInAllowList(const std::optional<Origin>& origin, std::string_view list) {
  return allowListProblem(origin, list).empty();
}

}  // namespace corvane
