// The shared check on names that are appended to the installation path.
#include <gtest/gtest.h>

#include "update/path_rules.h"

namespace corvane::testing {
namespace {

TEST(SafeRelativeName, PlainNamesAndSubfoldersPass) {
  for (const char* name : {"a.dll", "A.DLL", "sub\\b.dll", "sub/b.dll", "deep\\er/x.txt", ".hidden", "a..b",
                           "..a", "a..", "x\\.\\y", "name with spaces.dll", "caf\xE9.dll", "dir\\"}) {
    EXPECT_TRUE(isSafeRelativeName(name)) << name;
  }
}

TEST(SafeRelativeName, NamesThatLeaveTheDirectoryAreRefused) {
  for (const char* name : {"", "..", "../x", "..\\x", "a\\..\\..\\x", "a/../b", "a\\..", "x/..",
                           "\\x", "/x", "\\\\server\\share\\x", "//server/share/x", "\\\\?\\C:\\x",
                           "C:\\x", "C:x", "c:", "C:/x", "x:y", "file.dll:stream", "a\\b:$DATA",
                           "...", "a\\...\\b", ". .\\x", ".. \\x", "a\\..  "}) {
    EXPECT_FALSE(isSafeRelativeName(name)) << name;
  }
}

TEST(SafeRelativeName, ControlCharactersAreRefused) {
  EXPECT_FALSE(isSafeRelativeName(std::string_view("a\0b", 3)));
  EXPECT_FALSE(isSafeRelativeName("a\tb"));
  EXPECT_FALSE(isSafeRelativeName("a\nb"));
}

TEST(SafeRelativeName, DeviceNamesAreRefusedInAnySegment) {
  for (const char* name : {"NUL", "con", "Aux.dll", "com1", "LPT9.txt", "sub\\prn", "nul .txt", "CONOUT$"}) {
    EXPECT_FALSE(isSafeRelativeName(name)) << name;
  }
  for (const char* name : {"console.dll", "com10", "lpt0", "nullable.txt", "sub\\connect.dll", "auxiliary"}) {
    EXPECT_TRUE(isSafeRelativeName(name)) << name;
  }
}

}  // namespace
}  // namespace corvane::testing
