#include "shell/wire_settings.h"

#include "base/origin.h"

namespace corvane {

bool baseUrlFitsTheWire(std::string_view baseUrl) {
  // Browsers end the host at a backslash and the platform's URL parser may not: no reading
  // of the URL may differ from the one checked here.
  if (baseUrl.find('\\') != std::string_view::npos) return false;
  // The catalog's name is appended to BaseURL: after a query or a fragment it would be
  // text of those, and a page could make any file of an allowed server the catalog.
  if (baseUrl.find_first_of("?#") != std::string_view::npos) return false;
  const std::optional<UrlAuthority> parts = parseHttpUrl(baseUrl);
  return parts && !parts->hasUserInfo;
}

bool authPathFitsTheWire(std::string_view authPath) {
  if (authPath.empty() || authPath.front() != '/') return false;
  for (char c : authPath) {
    if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7E) return false;
  }
  return true;
}

}  // namespace corvane
