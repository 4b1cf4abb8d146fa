// Decisions of the downloader that need no platform: the temporary-file prefix and
// whether a resolved file URL stays on the server the handshake authenticated.
#pragma once

#include <cstdint>
#include <string>

namespace corvane {

// The largest package the control downloads, and the largest file it extracts from one:
// the build's MAX_PACKAGE_BYTES.
constexpr uint64_t kMaxPackageBytes = CORVANE_MAX_PACKAGE_BYTES;

// The temporary file's name prefix for a requested file name: its first three
// characters, each one that a file name cannot safely hold (path separators, drive
// colon, wildcards, control characters) replaced by '_'. A null name gives "".
std::string temporaryFilePrefix(const char* fileName);

struct UrlOrigin {
  int scheme = 0;        // the platform's scheme number
  std::string host;
  unsigned int port = 0; // the scheme's default port when the URL names none
};

// Same scheme, same port and the same host, host letters compared without case.
bool sameOrigin(const UrlOrigin& first, const UrlOrigin& second);

}  // namespace corvane
