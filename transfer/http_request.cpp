#include "transfer/http_request.h"

#include <cstdlib>

namespace corvane {

UniqueInternetHandle openInternetSession(const char* userAgent) {
  return UniqueInternetHandle(::InternetOpenA(userAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
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
