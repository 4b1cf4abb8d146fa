#include "path_rules.h"

namespace corvane {
namespace {

bool isSlash(char c) { return c == '\\' || c == '/'; }

// Windows drops trailing dots and blanks from a path segment, so ". ." or "..." can end
// up meaning "..": any segment of only dots and blanks with two dots or more is refused.
bool climbsUp(std::string_view segment) {
  size_t dots = 0;
  for (char c : segment) {
    if (c == '.')
      ++dots;
    else if (c != ' ')
      return false;
  }
  return dots >= 2;
}

}  // namespace

bool isSafeRelativeName(std::string_view name) {
  if (name.empty()) return false;
  if (isSlash(name.front())) return false;  // rooted, UNC (\\server) and \\?\ device paths
  size_t segmentStart = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || isSlash(name[i])) {
      if (climbsUp(name.substr(segmentStart, i - segmentStart))) return false;
      segmentStart = i + 1;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c == ':') return false;  // drive letters (C:x) and alternate data streams
    if (c < 0x20) return false;  // NUL would cut the name short; the rest are not valid
  }
  return true;
}

}  // namespace corvane
