// The page lock of builds made with ALLOWED_PAGE_ORIGINS: whether the page that drives
// the control may start a job. The evidence is gathered from the site elsewhere; the
// decision is free of platform calls.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// The build's ALLOWED_PAGE_ORIGINS setting (origins separated by semicolons); empty when
// the build has no page lock.
extern const char kAllowedPageOrigins[];

// What the control could learn from its site.
struct PageEvidence {
  bool hasSite = false;
  // The URL of the document that hosts the control (not the top-level browser's).
  std::optional<std::string> documentUrl;
  // The site answered as a browser or an OLE container: a page may be behind it.
  bool browserOrContainer = false;
};

// No list: allowed. No site: an application, allowed. A document URL: allowed only when
// its origin is listed. A browser or container whose document cannot be read: refused.
// A site that is neither (what script hosts give): an application, allowed. A list that
// does not parse refuses every page.
bool pageAllowed(const PageEvidence& evidence, std::string_view allowedOrigins);

}  // namespace corvane
