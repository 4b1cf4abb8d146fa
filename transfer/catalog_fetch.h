// The server's catalog, fetched with a plain GET: no handshake, its own user agent, and
// no more than a catalog can reasonably be.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace corvane {

constexpr uint64_t kMaxCatalogBytes = 16u * 1024 * 1024;

// The whole body, or nullopt when it could not be read: the URL did not open, a redirect
// led off the URL's scheme, host and port (or past the hop limit), the server stopped
// sending for longer than the receive time-out, the status was outside 200-299, a read failed, the body ended short of its Content-Length,
// or it was larger than `limit`.
std::optional<std::string> fetchCatalogText(const std::string& url, uint64_t limit = kMaxCatalogBytes);

// The file `name` beside the catalog: baseUrl with the name appended, fetched as above, and
// only when that URL is still on baseUrl's server (a baseUrl that does not end in a folder
// could make the name part of another host or port).
std::optional<std::string> fetchBeside(const std::string& baseUrl, const char* name, uint64_t limit = kMaxCatalogBytes);

}  // namespace corvane
