// What every request of the control has in common: how a session is opened, the cache
// flags, and reading the status and the announced length of an answer.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <optional>

#include "transfer/internet_handle.h"

namespace corvane {

// A cached copy would be answered without asking the server, could hide a newer catalog,
// and would leave every package behind in the user's cache.
constexpr DWORD kNoCacheFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;

UniqueInternetHandle openInternetSession(const char* userAgent);

// The HTTP status of an answer; 0 when it cannot be read.
DWORD httpStatus(HINTERNET request);
inline bool isSuccessStatus(DWORD status) { return status >= 200 && status <= 299; }

// The announced body length read from the header's text as a 64-bit number, when there
// is one that reads as a number.
std::optional<uint64_t> announcedLength(HINTERNET request);

}  // namespace corvane
