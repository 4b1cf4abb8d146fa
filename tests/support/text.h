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

}  // namespace corvane::testing
