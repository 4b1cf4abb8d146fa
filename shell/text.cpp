#include "shell/text.h"

#include <cwchar>
#include <string_view>
#include <vector>

namespace corvane {
namespace {

// Code pages whose conversions take no flags and report no default character; their
// exactness is proved by converting back.
bool takesNoConversionFlags(UINT codePage) {
  switch (codePage) {
    case 42: case 50220: case 50221: case 50222: case 50225: case 50227: case 50229: case 54936: case 65000:
      return true;
    default:
      return codePage >= 57002 && codePage <= 57011;
  }
}

std::optional<std::string> convertExactly(std::wstring_view wide, UINT codePage) {
  if (wide.empty()) return std::string();
  const int units = static_cast<int>(wide.size());
  DWORD flags = 0;
  BOOL usedDefault = FALSE;
  BOOL* usedDefaultOut = nullptr;
  if (codePage == CP_UTF8) {
    flags = WC_ERR_INVALID_CHARS;  // an unpaired surrogate fails instead of becoming U+FFFD
  } else if (!takesNoConversionFlags(codePage)) {
    flags = WC_NO_BEST_FIT_CHARS;
    usedDefaultOut = &usedDefault;
  }
  const int size = ::WideCharToMultiByte(codePage, flags, wide.data(), units, nullptr, 0, nullptr, usedDefaultOut);
  if (size <= 0 || usedDefault) return std::nullopt;
  std::string narrow(static_cast<size_t>(size), '\0');
  if (::WideCharToMultiByte(codePage, flags, wide.data(), units, &narrow[0], size, nullptr, usedDefaultOut) != size ||
      usedDefault) {
    return std::nullopt;
  }
  if (flags == 0 && !convertsBackExactly(narrow, wide, codePage)) return std::nullopt;
  return narrow;
}

}  // namespace

bool convertsBackExactly(std::string_view narrow, std::wstring_view wide, UINT codePage) {
  if (narrow.empty()) return wide.empty();
  const int size = static_cast<int>(narrow.size());
  const int back = ::MultiByteToWideChar(codePage, 0, narrow.data(), size, nullptr, 0);
  if (back <= 0) return false;
  std::wstring roundTrip(static_cast<size_t>(back), L'\0');
  return ::MultiByteToWideChar(codePage, 0, narrow.data(), size, &roundTrip[0], back) == back && roundTrip == wide;
}

std::optional<size_t> firstUnconvertible(const wchar_t* wide, UINT codePage) {
  if (wide == nullptr) return std::nullopt;
  const std::wstring_view text(wide);
  for (size_t at = 0; at < text.size();) {
    // A surrogate pair is one character.
    const bool pair = at + 1 < text.size() && text[at] >= 0xD800 && text[at] <= 0xDBFF && text[at + 1] >= 0xDC00 &&
                      text[at + 1] <= 0xDFFF;
    const size_t length = pair ? 2 : 1;
    if (!convertExactly(text.substr(at, length), codePage)) return at;
    at += length;
  }
  return std::nullopt;
}

std::optional<std::string> wideToAnsi(const wchar_t* wide, UINT codePage) {
  if (wide == nullptr) return std::nullopt;
  return convertExactly(std::wstring_view(wide), codePage);
}

AnsiText componentNamesToAnsi(const wchar_t* names, UINT codePage) {
  if (names == nullptr) return std::nullopt;
  std::wstring_view rest(names);
  if (rest.empty()) return std::string();
  std::vector<std::string> kept;
  while (true) {
    const size_t comma = rest.find(L',');
    if (std::optional<std::string> name = convertExactly(rest.substr(0, comma), codePage)) kept.push_back(*name);
    if (comma == std::wstring_view::npos) break;
    rest.remove_prefix(comma + 1);
    if (rest.empty()) break;  // a trailing comma adds no name
  }
  std::string joined;
  for (size_t i = 0; i < kept.size(); ++i) {
    if (i > 0) joined += ',';
    joined += kept[i];
  }
  // The names are split again behind the object, where a trailing comma adds no name:
  // a last name that is empty needs one more comma to stay a name.
  if (!kept.empty() && kept.back().empty()) joined += ',';
  return joined;
}

std::optional<std::wstring> ansiToWide(const char* ansi) {
  if (ansi == nullptr) return std::nullopt;
  const size_t bytes = std::char_traits<char>::length(ansi);
  std::vector<wchar_t> buffer(bytes + 1, L'\0');
  const int written =
      ::MultiByteToWideChar(CP_ACP, 0, ansi, -1, buffer.data(), static_cast<int>(buffer.size()));
  if (written <= 0) return std::wstring();
  return std::wstring(buffer.data());
}

}  // namespace corvane
