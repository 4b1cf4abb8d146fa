#include "update/path_rules.h"

#include <string>

#include "base/ascii.h"

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

// Names that Windows maps to devices in every folder ("NUL", "com1.txt", "Con ."): a
// file of that name would write to, delete or load the device instead.
bool namesDevice(std::string_view segment) {
  const size_t dot = segment.find('.');
  std::string_view base = segment.substr(0, dot);
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  std::string upper;
  for (char c : base) upper.push_back(upperAscii(c));
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kDevices) {
    if (upper == device) return true;
  }
  return upper.size() == 4 && (upper.compare(0, 3, "COM") == 0 || upper.compare(0, 3, "LPT") == 0) &&
         upper[3] >= '1' && upper[3] <= '9';
}

}  // namespace

bool isSafeRelativeName(std::string_view name) {
  if (name.empty()) return false;
  if (isSlash(name.front())) return false;  // rooted, UNC (\\server) and \\?\ device paths
  size_t segmentStart = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || isSlash(name[i])) {
      const std::string_view segment = name.substr(segmentStart, i - segmentStart);
      if (climbsUp(segment) || namesDevice(segment)) return false;
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
