#include "transfer/catalog_fetch.h"

#include "transfer/http_request.h"

namespace corvane {
namespace {

constexpr char kCatalogUserAgent[] = "VIZudavezav";
constexpr DWORD kReadPiece = 16384;

// The body up to the limit; nullopt on a failed read or a body past the limit, which is
// where reading stops: the catalog comes from an unauthenticated request.
std::optional<std::string> readBody(HINTERNET request, uint64_t limit) {
  std::string body;
  char piece[kReadPiece];
  for (;;) {
    DWORD got = 0;
    if (!::InternetReadFile(request, piece, kReadPiece, &got)) return std::nullopt;
    if (got == 0) return body;
    if (body.size() + got > limit) return std::nullopt;
    body.append(piece, got);
  }
}

}  // namespace

std::optional<std::string> fetchCatalogText(const std::string& url) {
  const std::optional<UrlOrigin> origin = urlOrigin(url.c_str());
  if (!origin) return std::nullopt;
  const UniqueInternetHandle session = openInternetSession(kCatalogUserAgent);
  if (!session) return std::nullopt;
  // Whoever serves the catalog decides what is deleted: never a server it redirects to.
  const GetAnswer answer = getWithinOrigin(session.get(), url, *origin);
  if (answer.failure != GetFailure::None) return std::nullopt;
  const HINTERNET request = answer.request.get();

  // An error page is not a catalog, and a status that cannot be read is no success.
  if (!isSuccessStatus(httpStatus(request))) return std::nullopt;
  const std::optional<uint64_t> announced = announcedLength(request);
  if (announced && *announced > kMaxCatalogBytes) return std::nullopt;

  std::optional<std::string> body = readBody(request, kMaxCatalogBytes);
  // WinINet can report a connection closed early as a normal end of the body.
  if (body && announced && body->size() != *announced) return std::nullopt;
  return body;
}

}  // namespace corvane
