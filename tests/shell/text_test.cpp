// Text conversions: exact in each code page or refused, never a look-alike or a default
// character. The code page is a parameter, so UTF-8, 1252 and 932 are all tried here
// whatever the process's own ANSI code page is.
#include <gtest/gtest.h>

#include "shell/text.h"
#include "update/path_rules.h"

namespace corvane::testing {
namespace {

TEST(AnsiConversion, RunsInTheCodePageTheTestsExpect) {
  ASSERT_EQ(1252u, ::GetACP()) << "the tests' Wine runs pin LC_ALL so that Wine's ANSI code page is 1252";
}

TEST(AnsiConversion, AbsentStaysAbsentAndEmptyStaysEmpty) {
  EXPECT_FALSE(ansiToWide(nullptr).has_value());
  EXPECT_EQ(std::wstring(), ansiToWide("").value());
  for (UINT codePage : {UINT{CP_UTF8}, UINT{1252}, UINT{932}}) {
    EXPECT_EQ(std::string(), wideToAnsi(L"", codePage).value()) << codePage;
    EXPECT_FALSE(componentNamesToAnsi(nullptr, codePage).has_value()) << codePage;
  }
}

// Each row: wide text and its bytes in UTF-8, 1252 and 932; nullptr where that code page
// cannot carry the text exactly.
struct ConversionCase {
  const wchar_t* wide;
  const char* utf8;
  const char* cp1252;
  const char* cp932;
};

TEST(AnsiConversion, ExactOrNothingInEachCodePage) {
  const ConversionCase cases[] = {
      {L"plain ?", "plain ?", "plain ?", "plain ?"},
      {L"caf\u00E9 \u20AC", "caf\xC3\xA9 \xE2\x82\xAC", "caf\xE9 \x80", nullptr},
      // Best fit would give 'A'; a CJK ideograph would become the default '?'.
      {L"\u0100", "\xC4\x80", nullptr, nullptr},
      {L"x\u4E00y", "x\xE4\xB8\x80y", nullptr, "x\x88\xEAy"},
      // Full-width full stop and reverse solidus: "..\\" to best fit, real characters in 932.
      {L"\uFF0E\uFF0E\uFF3C", "\xEF\xBC\x8E\xEF\xBC\x8E\xEF\xBC\xBC", nullptr, "\x81\x44\x81\x44\x81\x5F"},
      // 表 ends with the byte of a backslash in 932.
      {L"\u8868", "\xE8\xA1\xA8", nullptr, "\x95\x5C"},
      {L"COM\u00B9", "COM\xC2\xB9", "COM\xB9", nullptr},
      // An unpaired surrogate is no text in any code page.
      {L"a\xD800", nullptr, nullptr, nullptr},
  };
  const auto expectConversion = [](const char* expected, const wchar_t* wide, UINT codePage, size_t row) {
    const std::optional<std::string> converted = wideToAnsi(wide, codePage);
    if (expected == nullptr) {
      EXPECT_FALSE(converted.has_value()) << "code page " << codePage << ", case " << row;
    } else {
      EXPECT_EQ(expected, converted.value_or("<cannot convert>")) << "code page " << codePage << ", case " << row;
    }
  };
  for (const ConversionCase& row : cases) {
    const size_t index = static_cast<size_t>(&row - cases);
    expectConversion(row.utf8, row.wide, CP_UTF8, index);
    expectConversion(row.cp1252, row.wide, 1252, index);
    expectConversion(row.cp932, row.wide, 932, index);
  }
}

// Code pages converted without the no-best-fit flags are proved exact by reading the bytes
// back. Of those, Wine has only UTF-7, which carries every UTF-16 sequence: the proof's
// own answers are pinned here, lossy pairs in code pages Wine has included.
TEST(AnsiConversion, ConvertingBackProvesExactness) {
  struct Row {
    const char* narrow;
    const wchar_t* wide;
    UINT codePage;
    bool exact;
  };
  const Row rows[] = {
      {"+AOk-", L"\u00E9", 65000, true},   {"+AOk-", L"e", 65000, false},
      {"a+2AA-", L"a\xD800", 65000, true}, {"caf\xE9", L"caf\u00E9", 1252, true},
      {"?", L"\u4E00", 1252, false},       {"A", L"\u0100", 1252, false},
      {"\x88\xEA", L"\u4E00", 932, true},  {"\x88", L"\u4E00", 932, false},
      {"", L"", 65000, true},              {"", L"x", 65000, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.exact, convertsBackExactly(row.narrow, row.wide, row.codePage)) << (&row - rows);
  }
  EXPECT_EQ("+AOk-", wideToAnsi(L"\u00E9", 65000).value_or("<cannot convert>"));
}

TEST(AnsiConversion, OutputIsSizedByTheConversionItself) {
  // Three bytes per unit in UTF-8: more than two bytes per unit would hold.
  const std::wstring ideographs(5000, L'\u4E00');
  std::string expected;
  for (int i = 0; i < 5000; ++i) expected += "\xE4\xB8\x80";
  EXPECT_EQ(expected, wideToAnsi((ideographs + L"a").c_str(), CP_UTF8).value().substr(0, expected.size()));
  EXPECT_EQ(std::string(5000, '\xE9'), wideToAnsi(std::wstring(5000, L'\u00E9').c_str(), 1252).value());
}

TEST(AnsiConversion, CodePageCharactersRoundTrip) {
  EXPECT_EQ(L"caf\u00E9 \u20AC", ansiToWide("caf\xE9 \x80").value());
}

// The device check reads the bytes the platform's conversion makes: superscript digits are
// one byte in 1252, two in UTF-8, 949 and 1361, and cannot reach a name at all in 932.
TEST(AnsiConversion, DeviceNamesWithSuperscriptsAreCaughtAfterConversion) {
  for (const wchar_t* name : {L"COM\u00B9", L"lpt\u00B2.txt", L"Com\u00B3 .dll"}) {
    // Two bytes each in UTF-8, 949 and 1361 (Johab, a code page the check has no table for).
    for (UINT codePage : {UINT{CP_UTF8}, UINT{1252}, UINT{949}, UINT{1361}}) {
      const std::optional<std::string> bytes = wideToAnsi(name, codePage);
      ASSERT_TRUE(bytes.has_value()) << codePage;
      EXPECT_TRUE(namesDevice(*bytes, codePage)) << *bytes << " in " << codePage;
      EXPECT_FALSE(isSafeRelativeName(*bytes, codePage)) << *bytes << " in " << codePage;
    }
    EXPECT_FALSE(wideToAnsi(name, 932).has_value());
  }
  EXPECT_FALSE(namesDevice(wideToAnsi(L"COM\u00B4", 1252).value(), 1252)) << "an acute accent is no digit";
}

TEST(ComponentNames, ANameThatCannotBeConvertedChoosesNothing) {
  struct Row {
    const wchar_t* names;
    const char* cp1252;
  };
  // The driver splits at commas and a trailing comma adds no name: the result must split
  // into the convertible names, empty names included, in order.
  const Row rows[] = {
      {L"a,b", "a,b"},          {L"a,\u4E00,b", "a,b"}, {L"\u4E00", ""},     {L"\u4E00,", ""},
      {L",\u4E00", ","},        {L"a,,\u4E00", "a,,"},  {L"a,", "a"},        {L",,", ",,"},
      {L"caf\u00E9,\u0100", "caf\xE9"}, {L"", ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.cp1252, componentNamesToAnsi(row.names, 1252).value()) << (&row - rows);
  }
  EXPECT_EQ("\x88\xEA", componentNamesToAnsi(L"\u4E00,\u00E9", 932).value());
}

}  // namespace
}  // namespace corvane::testing
