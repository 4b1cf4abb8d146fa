// The checks on names appended to the installation path and on the installation path
// itself, in the three code pages the control meets most (1252, UTF-8, 932).
#include <gtest/gtest.h>

#include "update/path_rules.h"

namespace corvane::testing {
namespace {

constexpr unsigned kCodePages[] = {1252, 65001, 932};

TEST(SafeRelativeName, PlainNamesAndSubfoldersPass) {
  for (const char* name : {"a.dll", "A.DLL", "sub\\b.dll", "sub/b.dll", "deep\\er/x.txt", ".hidden", "a..b",
                           "..a", "a..", "x\\.\\y", "name with spaces.dll", "caf\xE9.dll", "dir\\"}) {
    EXPECT_TRUE(isSafeRelativeName(name, 1252)) << name;
  }
}

TEST(SafeRelativeName, NamesThatLeaveTheDirectoryAreRefused) {
  for (const char* name : {"", "..", "../x", "..\\x", "a\\..\\..\\x", "a/../b", "a\\..", "x/..",
                           "\\x", "/x", "\\\\server\\share\\x", "//server/share/x", "\\\\?\\C:\\x",
                           "C:\\x", "C:x", "c:", "C:/x", "x:y", "file.dll:stream", "a\\b:$DATA",
                           "...", "a\\...\\b", ". .\\x", ".. \\x", "a\\..  "}) {
    EXPECT_FALSE(isSafeRelativeName(name, 1252)) << name;
  }
}

TEST(SafeRelativeName, ControlCharactersAreRefused) {
  EXPECT_FALSE(isSafeRelativeName(std::string_view("a\0b", 3), 1252));
  EXPECT_FALSE(isSafeRelativeName("a\tb", 1252));
  EXPECT_FALSE(isSafeRelativeName("a\nb", 1252));
}

// Each row: a segment and the code pages in which it names a device.
struct DeviceCase {
  const char* segment;
  bool in1252, inUtf8, in932;
};

TEST(DeviceNames, EveryFormInEachCodePage) {
  const DeviceCase cases[] = {
      {"NUL", true, true, true},          {"con", true, true, true},          {"Aux.dll", true, true, true},
      {"nul .txt", true, true, true},     {"CONOUT$", true, true, true},      {"com1", true, true, true},
      {"LPT9.txt", true, true, true},     {"COM0", true, true, true},         {"lpt0", true, true, true},
      {"Lpt0.dll", true, true, true},     {"com0 .x", true, true, true},
      // Superscript one, two and three: single bytes in 1252, two bytes in UTF-8, absent from 932.
      {"COM\xB9", true, false, false},    {"lpt\xB2.dll", true, false, false}, {"COM\xB3", true, false, false},
      {"COM\xC2\xB9", false, true, false}, {"LPT\xC2\xB2", false, true, false}, {"com\xC2\xB3.txt", false, true, false},
      // Not devices anywhere.
      {"console.dll", false, false, false}, {"com10", false, false, false}, {"lpt", false, false, false},
      {"COM\xB4", false, false, false},     {"COM\xC2\xB4", false, false, false}, {"nullable.txt", false, false, false},
      {"COMx", false, false, false},        {"auxiliary", false, false, false},
  };
  for (const DeviceCase& row : cases) {
    EXPECT_EQ(row.in1252, namesDevice(row.segment, 1252)) << row.segment << " in 1252";
    EXPECT_EQ(row.inUtf8, namesDevice(row.segment, 65001)) << row.segment << " in UTF-8";
    EXPECT_EQ(row.in932, namesDevice(row.segment, 932)) << row.segment << " in 932";
  }
  // A code page the check does not know: any one character past ASCII is taken for a digit.
  EXPECT_TRUE(namesDevice("COM\xE9", 28605));
  EXPECT_FALSE(namesDevice("COMab", 28605));
}

TEST(DeviceNames, AreRefusedInNamesAndInstallationPaths) {
  for (unsigned codePage : kCodePages) {
    EXPECT_FALSE(isSafeRelativeName("sub\\lpt0", codePage)) << codePage;
    EXPECT_FALSE(isSafeRelativeName("COM0.dll", codePage)) << codePage;
    EXPECT_FALSE(isAllowedInstallPath("C:\\x\\LPT0\\", codePage)) << codePage;
  }
  EXPECT_FALSE(isSafeRelativeName("COM\xB9.dll", 1252));
  EXPECT_FALSE(isAllowedInstallPath("C:\\COM\xC2\xB3\\", 65001));
}

TEST(InstallPath, OnlyAbsoluteLocalPathsOnADrive) {
  struct Row {
    const char* path;
    bool allowed;
  };
  const Row rows[] = {
      {"C:\\Program Files\\Corvane\\", true}, {"C:\\Corvane", true}, {"C:\\A\\\\B\\", true}, {"c:\\", true},
      {"D:\\caf\xE9\\x%y\\", true},           {"C:\\a.b\\c d\\", true},
      {"", false},                  {"acc\\", false},             {"C:acc\\", false},          {"C:", false},
      {"\\\\server\\share\\", false}, {"\\\\?\\C:\\acc\\", false}, {"\\\\.\\C:\\acc\\", false}, {"\\acc\\", false},
      {"C:\\a\\..\\b\\", false},    {"C:\\a\\.\\b\\", false},     {"C:\\..\\", false},         {"C:\\a.\\", false},
      {"C:\\a \\", false},          {"C:\\a\\b.", false},         {"C:\\a/b\\", false},        {"C:/a\\", false},
      {"C:\\a:b\\", false},         {"C:\\a\\NUL\\", false},      {"C:\\a\\com1.x\\", false},  {"1:\\a\\", false},
      {"C:\\a|b\\", false},         {"C:\\a<b", false},           {"C:\\a>b", false},          {"C:\\a\"b", false},
      {"C:\\a?b", false},           {"C:\\a*b", false},           {"C:\\a\tb", false},         {"C:\\a\x7F", false},
  };
  for (const Row& row : rows) {
    for (unsigned codePage : kCodePages) {
      EXPECT_EQ(row.allowed, isAllowedInstallPath(row.path, codePage)) << "[" << row.path << "] in " << codePage;
    }
  }
}

// Component file names: one file, one spelling. Each refused row is a spelling that the
// platform takes for another (or for a directory, or for the control's own files).
TEST(CanonicalFileName, OneFileOneSpelling) {
  struct Row {
    const char* name;
    bool canonical;
  };
  const Row rows[] = {
      {"alpha.dll", true},         {"ALPHA.DLL", true},        {"sub\\alpha.dll", true},  {".hidden", true},
      {"a..b", true},              {"name with spaces.dll", true}, {"a~b.dll", true},     {"~1", false},
      {"x~y1.dll", true},          {"version~2b.txt", true},   {"cvlist.txt", true},      {"a~cv.txt", true},
      {"alpha.dll.", false},       {"alpha.dll ", false},      {".\\alpha.dll", false},  {"./alpha.dll", false},
      {"sub/alpha.dll", false},    {"sub\\\\alpha.dll", false}, {"sub\\", false},   {"sub.\\alpha.dll", false},
      {"sub\\.\\alpha.dll", false}, {"ALPHA~1.DLL", false}, {"alpha~12", false},     {"PROGRA~1\\alpha.dll", false},
      {"~cvlist-components.txt-0000abcd.tmp", false},          {"~CVpart.dll", false},    {"a*b", false},
      {"a?b", false},              {"a<b", false},             {"a>b", false},            {"a\"b", false},
      {"a|b", false},              {"a:b", false},             {"..\\alpha.dll", false}, {"", false},
  };
  for (const Row& row : rows) {
    for (unsigned codePage : kCodePages) {
      EXPECT_EQ(row.canonical, isCanonicalFileName(row.name, codePage)) << "[" << row.name << "] in " << codePage;
    }
  }
  // The second byte of 表 (95 5C) in 932 is no separator: one backslash follows it.
  EXPECT_TRUE(isCanonicalFileName("\x95\x5C\\.dll", 932));
  EXPECT_FALSE(isCanonicalFileName("\x95\x5C\\.dll", 1252)) << "an empty segment in a single-byte code page";
}

TEST(InstallPath, DoubleByteCharactersAreReadWhole) {
  // 表 is 95 5C and ポ is 83 7C in 932: their second bytes are no separator and no '|'.
  EXPECT_TRUE(isAllowedInstallPath("C:\\\x95\x5C\\\x83\x7C\\", 932));
  EXPECT_FALSE(isAllowedInstallPath("C:\\\x83\x7C\\", 1252)) << "a '|' in a single-byte code page";
  // A lead byte with nothing after it is no character at all.
  EXPECT_FALSE(isAllowedInstallPath("C:\\a\x95", 932));
  // Full-width look-alikes that made it through an exact conversion are plain names.
  EXPECT_TRUE(isAllowedInstallPath("C:\\\xEF\xBC\x8E\xEF\xBC\x8E\xEF\xBC\xBC\\", 65001));
}

}  // namespace
}  // namespace corvane::testing
