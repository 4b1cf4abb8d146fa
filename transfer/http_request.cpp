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

// A URL as the platform reads it.
struct CrackedUrl {
  int scheme = 0;
  std::string host;
  unsigned port = 0;
  std::string object;  // path and query, what the request line asks for
};

std::optional<CrackedUrl> crackUrl(const char* url) {
  URL_COMPONENTSA parts{};
  parts.dwStructSize = sizeof(parts);
  parts.dwSchemeLength = 1;
  parts.dwHostNameLength = 1;
  parts.dwUrlPathLength = 1;
  parts.dwExtraInfoLength = 1;
  if (!::InternetCrackUrlA(url, 0, 0, &parts)) return std::nullopt;
  CrackedUrl cracked;
  cracked.scheme = parts.nScheme;
  if (parts.lpszHostName) cracked.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  cracked.port = parts.nPort;
  if (parts.lpszUrlPath) cracked.object.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (parts.lpszExtraInfo) cracked.object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (cracked.object.empty()) cracked.object = "/";
  return cracked;
}

bool platformReadsTheSameOrigin(const CrackedUrl& cracked, const Origin& origin) {
  const int scheme = origin.secure ? INTERNET_SCHEME_HTTPS : INTERNET_SCHEME_HTTP;
  return cracked.scheme == scheme && sameOrigin(Origin{origin.secure, cracked.host, cracked.port}, origin);
}

// What a request to a URL goes by.
struct RequestUrl {
  Origin origin;
  std::string object;
};

// The URL read once, by our reader; refused where the platform, which makes the request,
// would read another origin, so that no check can judge an origin other than the one
// that is fetched.
std::optional<RequestUrl> readRequestUrl(const char* url) {
  if (url == nullptr) return std::nullopt;
  const std::optional<UrlAuthority> ours = parseHttpUrl(url);
  if (!ours) return std::nullopt;
  std::optional<CrackedUrl> platform = crackUrl(url);
  if (!platform || !platformReadsTheSameOrigin(*platform, ours->origin)) return std::nullopt;
  return RequestUrl{ours->origin, std::move(platform->object)};
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

void discardBody(HINTERNET request, const RequestDeadline& deadline) {
  char piece[4096];
  DWORD total = 0, got = 0;
  while (total < kRedirectBodyLimit && readArrived(request, piece, sizeof piece, got, deadline) && got > 0) total += got;
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

std::optional<Origin> urlOrigin(const char* url) {
  const std::optional<RequestUrl> read = readRequestUrl(url);
  if (!read) return std::nullopt;
  return read->origin;
}

UniqueInternetHandle openInternetSession(const char* userAgent) {
  UniqueInternetHandle session(::InternetOpenA(userAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (session) setTimeouts(session.get());
  return session;
}

UniqueInternetHandle connectToServer(HINTERNET session, const Origin& origin) {
  UniqueInternetHandle connection(::InternetConnectA(session, origin.host.c_str(),
                                                     static_cast<INTERNET_PORT>(origin.port), "", nullptr,
                                                     INTERNET_SERVICE_HTTP, 0, 0));
  // Wine passes only the session's connect time-out down; each handle gets all three.
  if (connection) setTimeouts(connection.get());
  return connection;
}

UniqueInternetHandle sendRequest(HINTERNET connection, const Origin& origin, const char* verb,
                                 const std::string& object, const char* const* acceptTypes, const char* headers,
                                 const std::string& body) {
  const DWORD flags = kRequestFlags | (origin.secure ? INTERNET_FLAG_SECURE : 0);
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

bool ProgressWatch::keepsPace(uint64_t received) {
  const ULONGLONG now = ::GetTickCount64();
  if (now - windowStart_ < kPackageSpeedWindowMs) return true;
  if (received - receivedAtStart_ < kPackageMinimumBytes) return false;
  windowStart_ = now;
  receivedAtStart_ = received;
  return true;
}

bool readArrived(HINTERNET request, char* buffer, DWORD capacity, DWORD& got, const RequestDeadline& deadline) {
  got = 0;
  DWORD available = 0;
  if (deadline.passed() || !::InternetQueryDataAvailable(request, &available, 0, 0)) {
    if (deadline.passed()) ::SetLastError(ERROR_INTERNET_TIMEOUT);
    return false;
  }
  if (available == 0) return true;  // the end of the body
  if (deadline.passed()) {
    ::SetLastError(ERROR_INTERNET_TIMEOUT);
    return false;
  }
  return ::InternetReadFile(request, buffer, available < capacity ? available : capacity, &got) != FALSE;
}

GetAnswer getWithinOrigin(HINTERNET session, const std::string& url, const Origin& origin,
                          const RequestDeadline& deadline) {
  GetAnswer answer;
  std::string current = url;
  for (int hop = 0;; ++hop) {
    const std::optional<RequestUrl> target = readRequestUrl(current.c_str());
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
    discardBody(answer.request.get(), deadline);
    if (deadline.passed()) {
      answer.failure = GetFailure::NotSent;
      return answer;
    }
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
