// Text conversions in the ANSI code page that the test run pins (Windows-1252).
#include <gtest/gtest.h>

#include "shell/text.h"

namespace corvane::testing {
namespace {

TEST(AnsiConversion, RunsInTheCodePageTheTestsExpect) {
  ASSERT_EQ(1252u, ::GetACP()) << "the tests' Wine runs pin LC_ALL so that Wine's ANSI code page is 1252";
}

TEST(AnsiConversion, AbsentStaysAbsentAndEmptyStaysEmpty) {
  EXPECT_FALSE(wideToAnsi(nullptr).has_value());
  EXPECT_FALSE(ansiToWide(nullptr).has_value());
  EXPECT_EQ(std::string(), wideToAnsi(L"").value());
  EXPECT_EQ(std::wstring(), ansiToWide("").value());
}

TEST(AnsiConversion, CodePageCharactersRoundTrip) {
  EXPECT_EQ("caf\xE9 \x80", wideToAnsi(L"caf\u00E9 \u20AC").value());
  EXPECT_EQ(L"caf\u00E9 \u20AC", ansiToWide("caf\xE9 \x80").value());
}

TEST(AnsiConversion, UnmappableCharactersBecomeBestFitOrDefault) {
  // A with macron has a best fit in 1252; a CJK ideograph has none and becomes '?'.
  EXPECT_EQ("A", wideToAnsi(L"\u0100").value());
  EXPECT_EQ("x?y", wideToAnsi(L"x\u4E00y").value());
}

TEST(AnsiConversion, LongTextIsConvertedWhole) {
  std::wstring wide(5000, L'\u00E9');
  const std::string ansi = wideToAnsi(wide.c_str()).value();
  EXPECT_EQ(std::string(5000, '\xE9'), ansi);
}

}  // namespace
}  // namespace corvane::testing
