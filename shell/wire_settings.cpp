#include "shell/wire_settings.h"

#include "base/origin.h"

namespace corvane {
namespace {

// The first byte outside 0x21-0x7E, in words; empty when there is none.
std::string unprintableByte(std::string_view text) {
  for (size_t at = 0; at < text.size(); ++at) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    if (c >= 0x21 && c <= 0x7E) continue;
    static const char kDigits[] = "0123456789ABCDEF";
    return std::string("the byte 0x") + kDigits[c >> 4] + kDigits[c & 0xF] + " (a blank, control or non-ASCII character) at position " +
           std::to_string(at + 1);
  }
  return std::string();
}

}  // namespace

std::string baseUrlProblem(std::string_view baseUrl) {
  // Browsers end the host at a backslash and the platform's URL parser may not: no reading
  // of the URL may differ from the one checked here.
  const size_t backslash = baseUrl.find('\\');
  if (backslash != std::string_view::npos) {
    return "BaseURL holds a backslash at position " + std::to_string(backslash + 1);
  }
  const std::string unprintable = unprintableByte(baseUrl);
  if (!unprintable.empty()) return "BaseURL holds " + unprintable;
  // The catalog's name is appended to BaseURL: after a query or a fragment it would be
  // text of those, and a page could make any file of an allowed server the catalog.
  const size_t queryOrFragment = baseUrl.find_first_of("?#");
  if (queryOrFragment != std::string_view::npos) {
    return std::string("BaseURL holds a ") + (baseUrl[queryOrFragment] == '?' ? "query ('?')" : "fragment ('#')") +
           " at position " + std::to_string(queryOrFragment + 1);
  }
  const std::optional<UrlAuthority> parts = parseHttpUrl(baseUrl);
  if (!parts) return "BaseURL is not an absolute http:// or https:// URL with a host (and perhaps a port)";
  if (parts->hasUserInfo) return "BaseURL carries a user name or password (user@host)";
  return std::string();
}

std::string authPathProblem(std::string_view authPath) {
  if (authPath.empty() || authPath.front() != '/') return "AuthPath does not begin with '/'";
  const std::string unprintable = unprintableByte(authPath);
  if (!unprintable.empty()) return "AuthPath holds " + unprintable;
  return std::string();
}

bool baseUrlFitsTheWire(std::string_view baseUrl) { return baseUrlProblem(baseUrl).empty(); }
bool authPathFitsTheWire(std::string_view authPath) { return authPathProblem(authPath).empty(); }

}  // namespace corvane
