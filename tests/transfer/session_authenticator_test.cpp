// Session values and the signature check, against signatures made by OpenSSL with the
// test key (the key the build trusts) or deliberately wrong ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "transfer/session_authenticator.h"
#include "support/text.h"
#include "tests/transfer/session_signer.h"

namespace corvane::testing {
namespace {

bool isUppercaseHex(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

TEST(SessionAuthenticator, SessionValuesAreFreshUppercaseHexOfTheWholeChallenge) {
  SessionAuthenticator first;
  SessionAuthenticator second;
  EXPECT_TRUE(first.sessionId().empty());
  first.createSessionId();
  second.createSessionId();
  EXPECT_EQ(first.sessionId().size(), 2 * SessionAuthenticator::kChallengeSize);
  EXPECT_EQ(second.sessionId().size(), 2 * SessionAuthenticator::kChallengeSize);
  EXPECT_TRUE(isUppercaseHex(first.sessionId()));
  EXPECT_TRUE(isUppercaseHex(second.sessionId()));
  EXPECT_NE(first.sessionId(), second.sessionId());
  // Not a degenerate generator: a fair draw of 2048 digits uses all sixteen.
  for (char digit : std::string("0123456789ABCDEF")) {
    EXPECT_NE(first.sessionId().find(digit), std::string::npos) << digit;
  }
}

TEST(SessionAuthenticator, AcceptsTheTestKeysSignatureInEveryDigitForm) {
  SessionAuthenticator authenticator;
  authenticator.createSessionId();
  const std::string signature = signSession(authenticator.sessionId(), "");
  ASSERT_EQ(signature.size(), 256u);
  EXPECT_TRUE(authenticator.verifyServerReply(authenticator.sessionId(), signature));
  EXPECT_TRUE(authenticator.verifyServerReply(authenticator.sessionId(), lowercase(signature)));
  std::string spaced;
  for (std::size_t i = 0; i < signature.size(); i += 2) spaced += signature.substr(i, 2) + " ";
  EXPECT_TRUE(authenticator.verifyServerReply(authenticator.sessionId(), spaced));
}

TEST(SessionAuthenticator, EchoMustBeTheSessionValueExactly) {
  SessionAuthenticator authenticator;
  authenticator.createSessionId();
  const std::string& id = authenticator.sessionId();
  const std::string signature = signSession(id, "");
  ASSERT_TRUE(authenticator.verifyServerReply(id, signature));
  EXPECT_FALSE(authenticator.verifyServerReply(lowercase(id), signature));
  EXPECT_FALSE(authenticator.verifyServerReply(id.substr(0, id.size() - 1), signature));
  EXPECT_FALSE(authenticator.verifyServerReply(id + "0", signature));
  EXPECT_FALSE(authenticator.verifyServerReply("", signature));
  std::string oneDigitChanged = id;
  oneDigitChanged[1000] = oneDigitChanged[1000] == 'A' ? 'B' : 'A';
  EXPECT_FALSE(authenticator.verifyServerReply(oneDigitChanged, signature));
}

TEST(SessionAuthenticator, RejectsSignaturesOfTheWrongKeyDigestOrMessage) {
  SessionAuthenticator authenticator;
  authenticator.createSessionId();
  const std::string& id = authenticator.sessionId();
  for (const char* fault : {"wrong-key", "sha256", "sign-hex-text"}) {
    const std::string signature = signSession(id, fault);
    EXPECT_EQ(signature.size(), 256u) << fault;
    EXPECT_FALSE(authenticator.verifyServerReply(id, signature)) << fault;
  }
}

TEST(SessionAuthenticator, RejectsDamagedSignaturesWithoutThrowing) {
  SessionAuthenticator authenticator;
  authenticator.createSessionId();
  const std::string& id = authenticator.sessionId();
  const std::string signature = signSession(id, "");
  std::string flipped = signature;
  flipped[100] = flipped[100] == '0' ? '1' : '0';
  EXPECT_FALSE(authenticator.verifyServerReply(id, flipped));
  EXPECT_FALSE(authenticator.verifyServerReply(id, signature.substr(0, 255)));  // odd digit count
  EXPECT_FALSE(authenticator.verifyServerReply(id, signature.substr(0, 254)));  // one byte short
  EXPECT_FALSE(authenticator.verifyServerReply(id, signature + "00"));         // one byte long
  EXPECT_FALSE(authenticator.verifyServerReply(id, "zz-not hex at all"));
  EXPECT_FALSE(authenticator.verifyServerReply(id, std::string(256, 'F')));
}

TEST(SessionAuthenticator, ASignatureFromAnotherSessionDoesNotPass) {
  SessionAuthenticator earlier;
  earlier.createSessionId();
  const std::string recorded = signSession(earlier.sessionId(), "");
  ASSERT_TRUE(earlier.verifyServerReply(earlier.sessionId(), recorded));

  SessionAuthenticator later;
  later.createSessionId();
  EXPECT_FALSE(later.verifyServerReply(later.sessionId(), recorded));
  EXPECT_FALSE(later.verifyServerReply(earlier.sessionId(), recorded));
  // A new challenge on the same object invalidates the old proof as well.
  earlier.createSessionId();
  EXPECT_FALSE(earlier.verifyServerReply(earlier.sessionId(), recorded));
}

TEST(SessionAuthenticator, NothingPassesBeforeASessionValueIsMade) {
  SessionAuthenticator authenticator;
  EXPECT_FALSE(authenticator.verifyServerReply("", ""));
  EXPECT_FALSE(authenticator.verifyServerReply("", std::string(256, '0')));
}

}  // namespace
}  // namespace corvane::testing
