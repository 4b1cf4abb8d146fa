#include <gtest/gtest.h>

#include "transfer/download_rules.h"

namespace corvane::testing {
namespace {

TEST(TemporaryFilePrefix, TakesUpToThreeCharactersOfTheName) {
  EXPECT_EQ(temporaryFilePrefix("component.cab"), "com");
  EXPECT_EQ(temporaryFilePrefix("ab"), "ab");
  EXPECT_EQ(temporaryFilePrefix(""), "");
  EXPECT_EQ(temporaryFilePrefix(nullptr), "");
  EXPECT_EQ(temporaryFilePrefix("a.b.c"), "a.b");
  // Bytes beyond ASCII could be half of a double-byte character.
  EXPECT_EQ(temporaryFilePrefix("\x82\xA0x.cab"), "__x");
}

TEST(TemporaryFilePrefix, ReplacesEveryCharacterThatCouldLeaveTheDirectory) {
  EXPECT_EQ(temporaryFilePrefix("..\\evil.cab"), ".._");
  EXPECT_EQ(temporaryFilePrefix("../x"), ".._");
  EXPECT_EQ(temporaryFilePrefix("C:\\x"), "C__");
  EXPECT_EQ(temporaryFilePrefix("/x/y"), "_x_");
  EXPECT_EQ(temporaryFilePrefix("*?\""), "___");
  EXPECT_EQ(temporaryFilePrefix("<>|"), "___");
  EXPECT_EQ(temporaryFilePrefix("\t\x01z"), "__z");
  EXPECT_EQ(temporaryFilePrefix("a\x7F" "b"), "a_b");
  EXPECT_EQ(temporaryFilePrefix("\xE9t\xE9"), "_t_");
}

}  // namespace
}  // namespace corvane::testing
