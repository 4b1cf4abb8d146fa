#include "shell/server_allowlist.h"

#include "base/ascii.h"

namespace corvane {
namespace {

constexpr unsigned int kHttpsDefaultPort = 443;

bool isHostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

std::optional<unsigned int> parsePort(std::string_view text) {
  if (text.empty() || text.size() > 5 || text.front() == '0') return std::nullopt;
  unsigned int port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + static_cast<unsigned int>(c - '0');
  }
  if (port > 65535) return std::nullopt;
  return port;
}

}  // namespace

std::optional<ServerOrigin> parseOriginEntry(std::string_view entry) {
  ServerOrigin origin;
  for (const char* scheme : {"https", "http"}) {
    const std::string prefix = std::string(scheme) + "://";
    if (entry.substr(0, prefix.size()) == prefix) {
      origin.scheme = scheme;
      entry.remove_prefix(prefix.size());
      break;
    }
  }
  if (origin.scheme.empty()) return std::nullopt;
  const size_t colon = entry.find(':');
  const std::string_view host = entry.substr(0, colon);
  if (host.empty()) return std::nullopt;
  for (char c : host) {
    if (!isHostCharacter(c)) return std::nullopt;
  }
  origin.host = std::string(host);
  if (colon == std::string_view::npos) {
    if (origin.scheme != "https") return std::nullopt;
    origin.port = kHttpsDefaultPort;
    return origin;
  }
  const std::optional<unsigned int> port = parsePort(entry.substr(colon + 1));
  if (!port) return std::nullopt;
  origin.port = *port;
  return origin;
}

std::optional<std::vector<ServerOrigin>> parseOriginList(std::string_view list) {
  std::vector<ServerOrigin> origins;
  while (!list.empty()) {
    const size_t separator = list.find(';');
    const std::string_view entry = list.substr(0, separator);
    if (!entry.empty()) {
      std::optional<ServerOrigin> origin = parseOriginEntry(entry);
      if (!origin) return std::nullopt;
      origins.push_back(std::move(*origin));
    }
    if (separator == std::string_view::npos) break;
    list.remove_prefix(separator + 1);
  }
  return origins;
}

bool originInAllowList(const ServerOrigin& origin, std::string_view list) {
  const std::optional<std::vector<ServerOrigin>> allowed = parseOriginList(list);
  if (!allowed) return false;
  if (allowed->empty()) return true;
  for (const ServerOrigin& entry : *allowed) {
    if (entry.scheme == origin.scheme && entry.port == origin.port && equalsIgnoringAsciiCase(entry.host, origin.host)) {
      return true;
    }
  }
  return false;
}

}  // namespace corvane
