#include "base/origin.h"

#include "base/ascii.h"

namespace corvane {
namespace {

constexpr std::string_view kHttps = "https://";
constexpr std::string_view kHttp = "http://";

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equalsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

bool isHostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

bool isHostName(std::string_view host) {
  if (host.empty()) return false;
  for (char c : host) {
    if (!isHostCharacter(c)) return false;
  }
  return true;
}

std::optional<unsigned> parsePort(std::string_view digits) {
  if (digits.empty() || digits.size() > 5) return std::nullopt;
  unsigned port = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + static_cast<unsigned>(c - '0');
  }
  if (port == 0 || port > 65535) return std::nullopt;
  return port;
}

// "host" or "host:port" into the origin. IPv6 literals ("[::1]") are not host names: the
// platform's URL reader splits them at their first colon.
bool parseHostAndPort(std::string_view text, bool portRequired, Origin& origin) {
  const size_t colon = text.rfind(':');
  const bool hasPort = colon != std::string_view::npos;
  const std::string_view host = hasPort ? text.substr(0, colon) : text;
  if (!isHostName(host)) return false;
  origin.host = std::string(host);
  if (!hasPort) return !portRequired;
  const std::optional<unsigned> port = parsePort(text.substr(colon + 1));
  if (!port) return false;
  origin.port = *port;
  return true;
}

}  // namespace

bool sameOrigin(const Origin& first, const Origin& second) {
  return first.secure == second.secure && first.port == second.port && equalsIgnoringAsciiCase(first.host, second.host);
}

std::optional<Origin> parseOriginEntry(std::string_view entry) {
  Origin origin;
  bool portRequired = false;
  if (entry.substr(0, kHttps.size()) == kHttps) {
    origin.secure = true;
    origin.port = 443;
    entry.remove_prefix(kHttps.size());
  } else if (entry.substr(0, kHttp.size()) == kHttp) {
    portRequired = true;  // a plain-http page must be named with its port
    entry.remove_prefix(kHttp.size());
  } else {
    return std::nullopt;
  }
  if (!parseHostAndPort(entry, portRequired, origin)) return std::nullopt;
  return origin;
}

std::optional<std::vector<Origin>> parseOriginList(std::string_view list) {
  std::vector<Origin> origins;
  while (!list.empty()) {
    const size_t separator = list.find(';');
    const std::string_view entry = list.substr(0, separator);
    if (!entry.empty()) {
      const std::optional<Origin> origin = parseOriginEntry(entry);
      if (!origin) return std::nullopt;
      origins.push_back(*origin);
    }
    if (separator == std::string_view::npos) break;
    list.remove_prefix(separator + 1);
  }
  return origins;
}

std::optional<UrlAuthority> parseHttpUrl(std::string_view url) {
  for (char c : url) {
    if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7E) return std::nullopt;
  }
  UrlAuthority parts;
  if (startsWithIgnoringCase(url, kHttps)) {
    parts.origin.secure = true;
    parts.origin.port = 443;
    url.remove_prefix(kHttps.size());
  } else if (startsWithIgnoringCase(url, kHttp)) {
    parts.origin.port = 80;
    url.remove_prefix(kHttp.size());
  } else {
    return std::nullopt;
  }
  std::string_view authority = url.substr(0, url.find_first_of("/?#\\"));
  const size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    parts.hasUserInfo = true;
    authority.remove_prefix(at + 1);
  }
  if (!parseHostAndPort(authority, false, parts.origin)) return std::nullopt;
  return parts;
}

bool originListed(const Origin& origin, const std::vector<Origin>& allowed) {
  for (const Origin& entry : allowed) {
    if (sameOrigin(origin, entry)) return true;
  }
  return false;
}

}  // namespace corvane
