// What every request of the control has in common: the session, the cache and redirect
// flags, the time-outs set on each handle before anything is sent, GETs that follow
// redirects only within the server they were made to, and reading an answer's status and
// announced length.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <optional>
#include <string>

#include "base/origin.h"
#include "transfer/download_rules.h"
#include "transfer/internet_handle.h"

namespace corvane {

// A cached copy would be answered without asking the server, could hide a newer catalog,
// and would leave every package behind in the user's cache.
constexpr DWORD kNoCacheFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;

// Connect, send and receive time-outs of every handle, in milliseconds: the build's
// TRANSFER_TIMEOUT_SECONDS (transfer_timeouts.cpp, a unit of its own so that a test build
// can link shorter ones). Without them a server that stops sending holds the caller's
// thread for as long as it likes.
extern const DWORD kConnectTimeoutMs;
extern const DWORD kSendTimeoutMs;
extern const DWORD kReceiveTimeoutMs;

// Redirects a GET may take within its server before it fails.
constexpr int kMaxRedirectHops = 5;

// The origin of an http or https URL, the one every check and request of the control
// goes by: read by base/origin's reader, and nullopt unless the platform's reader, which
// the requests use, finds the same scheme, host and port.
std::optional<Origin> urlOrigin(const char* url);

UniqueInternetHandle openInternetSession(const char* userAgent);

// A connection to the origin's host and port, with the time-outs set on it.
UniqueInternetHandle connectToServer(HINTERNET session, const Origin& origin);

// Opens one request on the connection, sets the time-outs on it and sends it. Never
// redirected by the platform; TLS for an https origin; no cache. Null when it could not
// be opened or sent (a time-out included).
UniqueInternetHandle sendRequest(HINTERNET connection, const Origin& origin, const char* verb,
                                 const std::string& object, const char* const* acceptTypes = nullptr,
                                 const char* headers = nullptr, const std::string& body = std::string());

enum class GetFailure {
  None,
  NotSent,  // no connection, or the request could not be sent or answered
  Refused,  // a redirect off the origin, without a location, or past kMaxRedirectHops
};

// The answer to a GET, the connection it came through (closed after the request).
struct GetAnswer {
  UniqueInternetHandle connection;
  UniqueInternetHandle request;
  GetFailure failure = GetFailure::NotSent;
};

// GETs url, which must lie on `origin`. A 3xx answer is followed here, never by the
// platform, and only to a location (resolved against the URL that answered) on the same
// scheme, host and port; each hop's body is read and dropped. The answer's own status is
// the caller's to judge.
GetAnswer getWithinOrigin(HINTERNET session, const std::string& url, const Origin& origin);

// The HTTP status of an answer; 0 when it cannot be read.
DWORD httpStatus(HINTERNET request);
inline bool isSuccessStatus(DWORD status) { return status >= 200 && status <= 299; }

// The announced body length read from the header's text as a 64-bit number, when there
// is one that reads as a number.
std::optional<uint64_t> announcedLength(HINTERNET request);

}  // namespace corvane
