#include "shell/page_lock.h"

#include "base/origin.h"

namespace corvane {

bool pageAllowed(const PageEvidence& evidence, std::string_view allowedOrigins) {
  const std::optional<std::vector<Origin>> allowed = parseOriginList(allowedOrigins);
  if (allowed && allowed->empty()) return true;
  if (!evidence.hasSite) return true;
  if (evidence.documentUrl) {
    const std::optional<UrlAuthority> page = parseHttpUrl(*evidence.documentUrl);
    return allowed && page && originListed(page->origin, *allowed);
  }
  return !evidence.browserOrContainer;
}

}  // namespace corvane
