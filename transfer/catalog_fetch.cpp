#include "transfer/catalog_fetch.h"

#include "base/diagnostic_log.h"
#include "transfer/http_request.h"
#include "transfer/wininet_errors.h"

namespace corvane {
namespace {

constexpr char kCatalogUserAgent[] = "VIZudavezav";
constexpr DWORD kReadPiece = 16384;

// The body up to the limit; nullopt on a failed read or a body past the limit, which is
// where reading stops: the catalog comes from an unauthenticated request.
std::optional<std::string> readBody(HINTERNET request, uint64_t limit, const RequestDeadline& deadline) {
  std::string body;
  char piece[kReadPiece];
  for (;;) {
    DWORD got = 0;
    if (!readArrived(request, piece, kReadPiece, got, deadline)) return std::nullopt;
    if (got == 0) return body;
    if (body.size() + got > limit) return std::nullopt;
    body.append(piece, got);
  }
}

}  // namespace

std::optional<std::string> fetchCatalogText(const std::string& url, uint64_t limit) {
  // Each way the catalog cannot be read, named in the diagnostic log.
  auto unreadable = [&url](const std::string& reason) -> std::optional<std::string> {
    logStep("%s cannot be read: %s", url.c_str(), reason.c_str());
    return std::nullopt;
  };
  const std::optional<Origin> origin = urlOrigin(url.c_str());
  if (!origin) return unreadable("not a URL");
  const UniqueInternetHandle session = openInternetSession(kCatalogUserAgent);
  if (!session) return unreadable("no internet session: " + winInetErrorText(::GetLastError()));
  // Whoever serves the catalog decides what is deleted: never a server it redirects to.
  const RequestDeadline deadline;
  const GetAnswer answer = getWithinOrigin(session.get(), url, *origin, deadline);
  if (answer.failure == GetFailure::NotSent) {
    return unreadable("no answer from the server: " + winInetErrorText(::GetLastError()));
  }
  if (answer.failure == GetFailure::Refused) {
    return unreadable("redirected off the server, without a location, or more than " +
                      std::to_string(kMaxRedirectHops) + " times");
  }
  const HINTERNET request = answer.request.get();

  // An error page is not a catalog, and a status that cannot be read is no success.
  const DWORD status = httpStatus(request);
  if (!isSuccessStatus(status)) return unreadable("HTTP status " + std::to_string(status));
  const std::optional<uint64_t> announced = announcedLength(request);
  if (announced && *announced > limit) return unreadable("announced length over the limit of " + std::to_string(limit) + " bytes");

  std::optional<std::string> body = readBody(request, limit, deadline);
  if (!body) {
    return unreadable(deadline.passed() ? "not whole within the deadline of " +
                                              std::to_string(kRequestDeadlineMs / 1000) + " s"
                                        : "a read failed, timed out or passed the limit of " + std::to_string(limit) +
                                              " bytes");
  }
  // WinINet can report a connection closed early as a normal end of the body.
  if (announced && body->size() != *announced) {
    return unreadable("the body ended after " + std::to_string(body->size()) + " of " + std::to_string(*announced) +
                      " announced bytes");
  }
  return body;
}

std::optional<std::string> fetchBeside(const std::string& baseUrl, const char* name, uint64_t limit) {
  const std::string url = baseUrl + name;
  const std::optional<Origin> server = urlOrigin(baseUrl.c_str());
  const std::optional<Origin> fileServer = urlOrigin(url.c_str());
  if (!server || !fileServer || !sameOrigin(*server, *fileServer)) {
    logStep("%s is not on the server of %s", name, baseUrl.c_str());
    return std::nullopt;
  }
  return fetchCatalogText(url, limit);
}

}  // namespace corvane
