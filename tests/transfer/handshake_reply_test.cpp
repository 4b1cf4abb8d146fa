#include <gtest/gtest.h>

#include <string>

#include "transfer/handshake_reply.h"

namespace corvane::testing {
namespace {

using namespace std::string_literals;

TEST(HandshakeReply, SplitsEchoAndSignatureAndIgnoresTheSurroundings) {
  auto reply = parseHandshakeReply("-ABC/0123=");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->echo, "ABC");
  EXPECT_EQ(reply->signature, "0123");

  reply = parseHandshakeReply("<html>noise\r\n-AB/CD=tail=more/-");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->echo, "AB");
  EXPECT_EQ(reply->signature, "CD");
}

TEST(HandshakeReply, OnlyTheFirstDashOpensTheEcho) {
  auto reply = parseHandshakeReply("x-A-B/S1 S2=");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->echo, "A-B");
  EXPECT_EQ(reply->signature, "S1 S2");
  // A slash before the first dash is not a separator.
  reply = parseHandshakeReply("a/b-E/S=");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->echo, "E");
  EXPECT_EQ(reply->signature, "S");
}

TEST(HandshakeReply, MissingSeparatorsOrEmptyFieldsAreMalformed) {
  EXPECT_FALSE(parseHandshakeReply(""));
  EXPECT_FALSE(parseHandshakeReply("ABC/DEF="));   // no dash
  EXPECT_FALSE(parseHandshakeReply("-ABCDEF="));   // no slash
  EXPECT_FALSE(parseHandshakeReply("-ABC/DEF"));   // no equals
  EXPECT_FALSE(parseHandshakeReply("-/DEF="));     // empty echo
  EXPECT_FALSE(parseHandshakeReply("-ABC/="));     // empty signature
  EXPECT_FALSE(parseHandshakeReply("=ABC/DEF-"));  // separators out of order
  EXPECT_FALSE(parseHandshakeReply("-ABC=DEF/"));  // equals only before the slash
}

TEST(HandshakeReply, BytesAreTakenAsTheyAreEmbeddedZerosIncluded) {
  const std::string raw = "\0\0-A\0B/C\0D=\0"s;
  auto reply = parseHandshakeReply(raw);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->echo, "A\0B"s);
  EXPECT_EQ(reply->signature, "C\0D"s);
}

}  // namespace
}  // namespace corvane::testing
