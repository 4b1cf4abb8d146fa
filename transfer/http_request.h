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

// Each time-out bounds one wait; a server that sends a byte just before each runs out
// would hold a call for ever. So every request but a package's (the catalog, the manifest
// and its signature, each handshake, a GET with all its redirect hops) ends by this
// deadline (REQUEST_DEADLINE_SECONDS, 30 s: a catalog or a reply of a few KiB that takes
// longer comes from a server that is not answering in earnest), and a package download is
// abandoned when fewer than kPackageMinimumBytes arrive in a window of
// kPackageSpeedWindowMs (PACKAGE_SPEED_WINDOW_SECONDS, 30 s): 1 KiB in 30 s is some 34
// bytes a second, far below any link that works, so a slow but real download of a large
// package is never stopped by it.
extern const DWORD kRequestDeadlineMs;
extern const DWORD kPackageSpeedWindowMs;
constexpr uint64_t kPackageMinimumBytes = 1024;

// The moment by which a request must be done.
class RequestDeadline {
 public:
  explicit RequestDeadline(DWORD fromNowMs = kRequestDeadlineMs) : end_(::GetTickCount64() + fromNowMs) {}
  bool passed() const { return ::GetTickCount64() >= end_; }
  // For a package's body, which the pace of a ProgressWatch bounds instead.
  static RequestDeadline none() {
    RequestDeadline never;
    never.end_ = ~ULONGLONG{0};
    return never;
  }

 private:
  ULONGLONG end_;
};

// A package download's progress: fails once a whole window passed with too few bytes.
class ProgressWatch {
 public:
  // False when the window that ended before this call brought fewer than the minimum.
  bool keepsPace(uint64_t received);

 private:
  ULONGLONG windowStart_ = ::GetTickCount64();
  uint64_t receivedAtStart_ = 0;
};

// Reads what has arrived of the body, at most `capacity` bytes: waits for the first byte
// (each wait bounded by the receive time-out), never for the buffer to fill, so a trickle
// cannot hold a read past the deadline. `got` is 0 at the body's end. False when a read
// failed or the deadline passed (the last error is then ERROR_INTERNET_TIMEOUT).
bool readArrived(HINTERNET request, char* buffer, DWORD capacity, DWORD& got, const RequestDeadline& deadline);

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
GetAnswer getWithinOrigin(HINTERNET session, const std::string& url, const Origin& origin,
                          const RequestDeadline& deadline);

// The HTTP status of an answer; 0 when it cannot be read.
DWORD httpStatus(HINTERNET request);
inline bool isSuccessStatus(DWORD status) { return status >= 200 && status <= 299; }

// The announced body length read from the header's text as a 64-bit number, when there
// is one that reads as a number.
std::optional<uint64_t> announcedLength(HINTERNET request);

}  // namespace corvane
