// How 8-bit text is cut into characters in a Windows code page, without Windows headers:
// checks that scan paths byte by byte must not mistake the second byte of a double-byte
// character (0x5C in "表" is a backslash byte in 932) for a character of its own.
#pragma once

#include <cstddef>
#include <string_view>

namespace corvane {

inline constexpr unsigned kCodePageUtf8 = 65001;

// True for a byte that starts a two-byte character in the East Asian double-byte code
// pages. UTF-8 needs no such care: every byte of a multi-byte sequence is 0x80 or above.
constexpr bool isDoubleByteLead(unsigned codePage, unsigned char byte) noexcept {
  switch (codePage) {
    case 932:  // Shift JIS
      return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
    case 936:  // GBK
    case 949:  // Unified Hangul
    case 950:  // Big5
      return byte >= 0x81 && byte <= 0xFE;
    default:
      return false;
  }
}

// Bytes of the character that starts at `at`; 0 for a lead byte cut off at the end.
constexpr size_t characterLength(std::string_view text, size_t at, unsigned codePage) noexcept {
  if (!isDoubleByteLead(codePage, static_cast<unsigned char>(text[at]))) return 1;
  return at + 1 < text.size() ? 2 : 0;
}

}  // namespace corvane
