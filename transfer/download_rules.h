// Decisions of the downloader that need no platform: the package size limit and the
// temporary-file prefix.
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

}  // namespace corvane
