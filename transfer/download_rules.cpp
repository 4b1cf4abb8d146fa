#include "transfer/download_rules.h"

#include <cstring>

namespace corvane {

namespace {
// Only plain ASCII: a byte of a double-byte code page could be a lead byte cut from its
// trail byte by the three-byte limit.
bool safeInFileName(unsigned char c) {
  if (c < 0x20 || c >= 0x7F) return false;
  return std::strchr("\\/:*?\"<>|", c) == nullptr;
}
}  // namespace

std::string temporaryFilePrefix(const char* fileName) {
  std::string prefix;
  if (!fileName) return prefix;
  for (const char* p = fileName; *p != '\0' && prefix.size() < 3; ++p) {
    prefix.push_back(safeInFileName(static_cast<unsigned char>(*p)) ? *p : '_');
  }
  return prefix;
}

}  // namespace corvane
