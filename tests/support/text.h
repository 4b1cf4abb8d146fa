// Small text helpers for tests, native and under Wine.
#pragma once

#include <algorithm>
#include <cctype>
#include <string>

namespace corvane::testing {

inline std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// ASCII text as UTF-16, for command lines and BSTRs built from test paths and URLs.
inline std::wstring widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

}  // namespace corvane::testing
