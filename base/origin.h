// Web origins (scheme, host, port) as allow-lists name them and as URLs carry them.
// Free of platform calls: the page lock and the server checks share it, and it is
// tested natively.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

struct Origin {
  bool secure = false;  // https rather than http
  std::string host;     // as written; compared without regard to case
  unsigned port = 0;    // the scheme's default when none is written
};

bool sameOrigin(const Origin& first, const Origin& second);

// One allow-list entry: "https://host", "https://host:port" or "http://host:port", with
// nothing before or after. A host is letters, digits, dots and hyphens; a port has one to
// five digits.
std::optional<Origin> parseOriginEntry(std::string_view entry);

// Entries separated by semicolons (empty pieces are skipped); nullopt when any entry
// has another form. An empty list gives no entries.
std::optional<std::vector<Origin>> parseOriginList(std::string_view list);

// The parts of an absolute http or https URL up to its path.
struct UrlAuthority {
  Origin origin;
  bool hasUserInfo = false;  // "user@" or "user:password@" before the host
};

// nullopt for any other scheme, a missing or malformed host or port (an IPv6 literal
// included), or a byte outside 0x21-0x7E anywhere in the URL. User information ends at the
// last '@'; a backslash ends the authority, as browsers read it. The one reader of every
// URL the control checks; transfer/http_request.h refuses what the platform reads otherwise.
std::optional<UrlAuthority> parseHttpUrl(std::string_view url);

bool originListed(const Origin& origin, const std::vector<Origin>& allowed);

}  // namespace corvane
