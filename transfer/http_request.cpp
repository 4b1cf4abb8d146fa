#include "transfer/http_request.h"

#include <cstdlib>
#include <vector>

namespace corvane {
namespace {

constexpr DWORD kRequestFlags = kNoCacheFlags | INTERNET_FLAG_NO_AUTO_REDIRECT;
// A redirect's own body is never used; reading stops here and the hop goes on.
constexpr DWORD kRedirectBodyLimit = 64 * 1024;

void setTimeouts(HINTERNET handle) {
  DWORD connect = kConnectTimeoutMs, send = kSendTimeoutMs, receive = kReceiveTimeoutMs;
  ::InternetSetOptionA(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof connect);
  ::InternetSetOptionA(handle, INTERNET_OPTION_SEND_TIMEOUT, &send, sizeof send);
  ::InternetSetOptionA(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &receive, sizeof receive);
}

struct CrackedUrl {
  UrlOrigin origin;
  std::string object;  // path and query, what the request line asks for
};

std::optional<CrackedUrl> crackUrl(const char* url, bool withObject) {
  URL_COMPONENTSA parts{};
  parts.dwStructSize = sizeof(parts);
  parts.dwSchemeLength = 1;
  parts.dwHostNameLength = 1;
  parts.dwUrlPathLength = withObject ? 1 : 0;
  parts.dwExtraInfoLength = withObject ? 1 : 0;
  if (url == nullptr || !::InternetCrackUrlA(url, 0, 0, &parts)) return std::nullopt;
  CrackedUrl cracked;
  cracked.origin.scheme = parts.nScheme;
  if (parts.lpszHostName) cracked.origin.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  cracked.origin.port = parts.nPort;
  if (parts.lpszUrlPath) cracked.object.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (parts.lpszExtraInfo) cracked.object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (cracked.object.empty()) cracked.object = "/";
  return cracked;
}

std::optional<std::string> headerText(HINTERNET request, DWORD query) {
  std::vector<char> text(256);
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD size = static_cast<DWORD>(text.size());
    if (::HttpQueryInfoA(request, query, text.data(), &size, nullptr)) return std::string(text.data(), size);
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return std::nullopt;
    text.assign(size + 1, '\0');
  }
  return std::nullopt;
}

void discardBody(HINTERNET request) {
  char piece[4096];
  DWORD total = 0, got = 0;
  while (total < kRedirectBodyLimit && ::InternetReadFile(request, piece, sizeof piece, &got) && got > 0) total += got;
}

// The location a 3xx answer points to, resolved against the URL that gave it.
std::optional<std::string> redirectTarget(HINTERNET request, const std::string& from) {
  const std::optional<std::string> location = headerText(request, HTTP_QUERY_LOCATION);
  if (!location || location->empty()) return std::nullopt;
  DWORD length = 0;
  ::InternetCombineUrlA(from.c_str(), location->c_str(), nullptr, &length, ICU_ENCODE_SPACES_ONLY);
  if (length == 0) return std::nullopt;
  std::vector<char> resolved(length + 1, '\0');
  length = static_cast<DWORD>(resolved.size());
  if (!::InternetCombineUrlA(from.c_str(), location->c_str(), resolved.data(), &length, ICU_ENCODE_SPACES_ONLY)) {
    return std::nullopt;
  }
  return std::string(resolved.data());
}

bool isRedirect(DWORD status) { return status >= 300 && status <= 399; }

}  // namespace

std::optional<UrlOrigin> urlOrigin(const char* url) {
  const std::optional<CrackedUrl> cracked = crackUrl(url, false);
  if (!cracked) return std::nullopt;
  return cracked->origin;
}

UniqueInternetHandle openInternetSession(const char* userAgent) {
  UniqueInternetHandle session(::InternetOpenA(userAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (session) setTimeouts(session.get());
  return session;
}

UniqueInternetHandle connectToServer(HINTERNET session, const UrlOrigin& origin) {
  UniqueInternetHandle connection(::InternetConnectA(session, origin.host.c_str(),
                                                     static_cast<INTERNET_PORT>(origin.port), "", nullptr,
                                                     INTERNET_SERVICE_HTTP, 0, 0));
  // Wine passes only the session's connect time-out down; each handle gets all three.
  if (connection) setTimeouts(connection.get());
  return connection;
}

UniqueInternetHandle sendRequest(HINTERNET connection, const UrlOrigin& origin, const char* verb,
                                 const std::string& object, const char* const* acceptTypes, const char* headers,
                                 const std::string& body) {
  const DWORD flags = kRequestFlags | (isSecure(origin) ? INTERNET_FLAG_SECURE : 0);
  UniqueInternetHandle request(::HttpOpenRequestA(connection, verb, object.c_str(), nullptr, nullptr,
                                                  const_cast<const char**>(acceptTypes), flags, 0));
  if (!request) return request;
  setTimeouts(request.get());
  std::string bodyCopy = body;
  if (!::HttpSendRequestA(request.get(), headers, headers ? static_cast<DWORD>(-1) : 0,
                          bodyCopy.empty() ? nullptr : bodyCopy.data(), static_cast<DWORD>(bodyCopy.size()))) {
    // The caller logs why the request failed; closing the handle must not overwrite it.
    const DWORD error = ::GetLastError();
    request.reset();
    ::SetLastError(error);
  }
  return request;
}

GetAnswer getWithinOrigin(HINTERNET session, const std::string& url, const UrlOrigin& origin) {
  GetAnswer answer;
  if (origin.scheme != INTERNET_SCHEME_HTTP && origin.scheme != INTERNET_SCHEME_HTTPS) {
    answer.failure = GetFailure::Refused;
    return answer;
  }
  std::string current = url;
  for (int hop = 0;; ++hop) {
    const std::optional<CrackedUrl> target = crackUrl(current.c_str(), true);
    if (!target || !sameOrigin(target->origin, origin)) {
      answer.failure = GetFailure::Refused;
      return answer;
    }
    if (!answer.connection) answer.connection = connectToServer(session, origin);
    if (!answer.connection) return answer;
    answer.request.reset();
    answer.request = sendRequest(answer.connection.get(), origin, "GET", target->object);
    if (!answer.request) {
      answer.failure = GetFailure::NotSent;
      return answer;
    }
    if (!isRedirect(httpStatus(answer.request.get()))) {
      answer.failure = GetFailure::None;
      return answer;
    }
    const std::optional<std::string> next = redirectTarget(answer.request.get(), current);
    if (!next || hop + 1 > kMaxRedirectHops) {
      answer.failure = GetFailure::Refused;
      return answer;
    }
    discardBody(answer.request.get());
    current = *next;
  }
}

DWORD httpStatus(HINTERNET request) {
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!::HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr)) return 0;
  return status;
}

std::optional<uint64_t> announcedLength(HINTERNET request) {
  char text[32] = {};
  DWORD size = sizeof text - 1;
  if (!::HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr)) return std::nullopt;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0') return std::nullopt;
  return value;
}

}  // namespace corvane
