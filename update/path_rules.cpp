#include "update/path_rules.h"

#include <cstring>
#include <string>

#include "base/ascii.h"
#include "base/code_page.h"

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

// The superscript one, two and three as the code page spells them; empty where it has none.
struct Superscripts {
  const char* one;
  const char* two;
  const char* three;
};

bool superscriptsOf(unsigned codePage, Superscripts& out) {
  switch (codePage) {
    case kCodePageUtf8:
      out = {"\xC2\xB9", "\xC2\xB2", "\xC2\xB3"};
      return true;
    case 949:
      out = {"\xA9\xF6", "\xA9\xF7", "\xA9\xF8"};
      return true;
    case 1252: case 1254: case 1255: case 1256: case 1257: case 1258:
      out = {"\xB9", "\xB2", "\xB3"};
      return true;
    case 1253:
      out = {"", "\xB2", "\xB3"};
      return true;
    case 874: case 932: case 936: case 950: case 1250: case 1251:
      out = {"", "", ""};
      return true;
    default:
      return false;
  }
}

// The one character after "COM" or "LPT" that makes a device name.
bool isDeviceDigit(std::string_view rest, unsigned codePage) {
  if (rest.size() == 1 && rest[0] >= '0' && rest[0] <= '9') return true;
  Superscripts superscripts{};
  if (!superscriptsOf(codePage, superscripts)) {
    // A code page this check does not know: any one character beyond ASCII may be a
    // superscript digit there, so it is taken for one.
    return rest.size() <= 2 && static_cast<unsigned char>(rest[0]) >= 0x80;
  }
  for (const char* digit : {superscripts.one, superscripts.two, superscripts.three}) {
    if (*digit != '\0' && rest == digit) return true;
  }
  return false;
}

bool isForbiddenInInstallPath(unsigned char c) {
  return c < 0x20 || c == 0x7F || std::strchr("/:<>\"|?*", c) != nullptr;
}

std::string byteText(unsigned char c) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text = "0x";
  text += kDigits[c >> 4];
  text += kDigits[c & 0xF];
  if (c >= 0x20 && c < 0x7F) text += std::string(" '") + static_cast<char>(c) + "'";
  return text;
}

// What is wrong with one segment of an installation path (empty: nothing), scanned by
// characters of the code page; `offset` is where it starts in the path.
std::string installSegmentProblem(std::string_view segment, size_t offset, unsigned codePage) {
  if (segment == "." || segment == "..") return std::string("a `") + std::string(segment) + "` segment";
  bool lastIsDotOrBlank = false;
  for (size_t at = 0; at < segment.size();) {
    const size_t length = characterLength(segment, at, codePage);
    const std::string position = " at position " + std::to_string(offset + at + 1);
    if (length == 0) return "a byte sequence that is no character of code page " + std::to_string(codePage) + position;
    const unsigned char c = static_cast<unsigned char>(segment[at]);
    if (length == 1 && isForbiddenInInstallPath(c)) return "the character " + byteText(c) + position;
    lastIsDotOrBlank = length == 1 && (c == '.' || c == ' ');
    at += length;
  }
  if (lastIsDotOrBlank) return "a segment ending with a dot or a blank (`" + std::string(segment) + "`)";
  if (namesDevice(segment, codePage)) return "a device name `" + std::string(segment) + "`";
  return std::string();
}

// "NAME~1", "PROGRA~12.EXT": a tilde, digits, then the end or the extension's dot.
bool looksLikeShortNameAlias(std::string_view segment) {
  for (size_t tilde = segment.find('~'); tilde != std::string_view::npos; tilde = segment.find('~', tilde + 1)) {
    size_t end = tilde + 1;
    while (end < segment.size() && segment[end] >= '0' && segment[end] <= '9') ++end;
    if (end > tilde + 1 && (end == segment.size() || segment[end] == '.')) return true;
  }
  return false;
}

bool looksLikeOwnTemporaryName(std::string_view segment) {
  return segment.size() >= 3 && segment[0] == '~' && upperAscii(segment[1]) == 'C' && upperAscii(segment[2]) == 'V';
}

// One segment of a component's file name: what an installation path's segment may be, and
// neither empty nor of the form of an alias or of the control's own names.
bool canonicalSegment(std::string_view segment, unsigned codePage) {
  return !segment.empty() && installSegmentProblem(segment, 0, codePage).empty() && !looksLikeShortNameAlias(segment) &&
         !looksLikeOwnTemporaryName(segment);
}

bool isAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

bool namesDevice(std::string_view segment, unsigned codePage) {
  const size_t dot = segment.find('.');
  std::string_view base = segment.substr(0, dot);
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  std::string upper;
  for (char c : base) upper.push_back(upperAscii(c));
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kDevices) {
    if (upper == device) return true;
  }
  return upper.size() > 3 && (upper.compare(0, 3, "COM") == 0 || upper.compare(0, 3, "LPT") == 0) &&
         isDeviceDigit(std::string_view(upper).substr(3), codePage);
}

bool isSafeRelativeName(std::string_view name, unsigned codePage) {
  if (name.empty()) return false;
  if (isSlash(name.front())) return false;  // rooted, UNC (\\server) and \\?\ device paths
  size_t segmentStart = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || isSlash(name[i])) {
      const std::string_view segment = name.substr(segmentStart, i - segmentStart);
      if (climbsUp(segment) || namesDevice(segment, codePage)) return false;
      segmentStart = i + 1;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c == ':') return false;  // drive letters (C:x) and alternate data streams
    if (c < 0x20) return false;  // NUL would cut the name short; the rest are not valid
  }
  return true;
}

namespace {

// Where the segment that starts at `at` ends: the next backslash that is a character of its
// own, not the second byte of a double-byte one. npos for a broken character.
size_t segmentEnd(std::string_view text, size_t at, unsigned codePage) {
  while (at < text.size() && text[at] != '\\') {
    const size_t length = characterLength(text, at, codePage);
    if (length == 0) return std::string_view::npos;
    at += length;
  }
  return at;
}

}  // namespace

bool isCanonicalFileName(std::string_view name, unsigned codePage) {
  if (!isSafeRelativeName(name, codePage)) return false;
  size_t at = 0;
  for (;;) {
    const size_t end = segmentEnd(name, at, codePage);
    if (end == std::string_view::npos) return false;
    if (!canonicalSegment(name.substr(at, end - at), codePage)) return false;
    if (end == name.size()) return true;
    at = end + 1;
  }
}

std::string installPathProblem(std::string_view path, unsigned codePage) {
  if (path.empty()) return "an empty path";
  if (path.size() >= 2 && isSlash(path[0]) && isSlash(path[1])) {
    return path.size() >= 4 && (path[2] == '?' || path[2] == '.') && isSlash(path[3]) ? "a device path (\\\\?\\ or \\\\.\\)"
                                                                                 : "a share path";
  }
  if (path.size() >= 2 && isAsciiLetter(path[0]) && path[1] == ':' && (path.size() == 2 || path[2] != '\\')) {
    return "a drive-relative path (a drive letter and a colon not followed by a backslash)";
  }
  if (path.size() < 3 || !isAsciiLetter(path[0]) || path[1] != ':' || path[2] != '\\') {
    return "a relative path (it must begin with a drive letter, a colon and a backslash, as C:\\)";
  }
  size_t at = 3;
  while (at < path.size()) {
    if (path[at] == '\\') {
      ++at;
      continue;
    }
    size_t end = segmentEnd(path, at, codePage);
    if (end == std::string_view::npos) end = path.size();  // the broken character is reported below
    const std::string problem = installSegmentProblem(path.substr(at, end - at), at, codePage);
    if (!problem.empty()) return problem;
    at = end;
  }
  return std::string();
}

std::string directoryOfPath(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return ".";
  if (slash == 0 || (slash == 2 && path[1] == ':')) return path.substr(0, slash + 1);  // a root
  return path.substr(0, slash);
}

std::string fileNameOfPath(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string joinPath(const std::string& directory, const std::string& name) {
  if (!directory.empty() && (directory.back() == '\\' || directory.back() == '/')) return directory + name;
  return directory + "\\" + name;
}

bool isAllowedInstallPath(std::string_view path, unsigned codePage) { return installPathProblem(path, codePage).empty(); }

}  // namespace corvane
