// The handshake reply parser and the server check. Raw inputs are parsed and their
// fields checked against one live session; genuine replies (signed once per process by
// the test key through OpenSSL) are wrapped in fuzzer text and then damaged.
#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <memory>

#include "tests/fuzz/fuzz_targets.h"
#include "transfer/handshake_reply.h"
#include "transfer/session_authenticator.h"
#include "tests/transfer/session_signer.h"

namespace corvane::testing {
namespace {

constexpr const char* kTarget = "handshake";

struct Session {
  SessionAuthenticator authenticator;
  std::string signature;
};

const Session& session() {
  static const std::unique_ptr<Session> live = [] {
    auto made = std::make_unique<Session>();
    made->authenticator.createSessionId();
    made->signature = testing::signSession(made->authenticator.sessionId(), "");
    FUZZ_REQUIRE(kTarget, made->authenticator.verifyServerReply(made->authenticator.sessionId(), made->signature),
                 "a genuine signature by the test key does not verify (is the build's key the test key?)");
    return made;
  }();
  return *live;
}

// Hex digits of text, lower case, anything else dropped, leading zeros dropped: two
// texts that come to the same are the same signature to a lenient decoder.
std::string signatureDigits(const std::string& text) {
  std::string digits;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) digits.push_back(static_cast<char>(std::tolower(c)));
  }
  if (digits.size() % 2) digits.pop_back();  // a lone last digit makes no byte
  const size_t first = digits.find_first_not_of('0');
  return first == std::string::npos ? std::string() : digits.substr(first);
}

// The reply's fields as documented, found another way: split at the first '-', then at
// the first '/', then at the first '='.
std::optional<HandshakeReply> expectedReply(const std::string& reply) {
  const size_t dash = reply.find('-');
  if (dash == std::string::npos) return std::nullopt;
  const std::string afterDash = reply.substr(dash + 1);
  const size_t slash = afterDash.find('/');
  if (slash == std::string::npos) return std::nullopt;
  const std::string afterSlash = afterDash.substr(slash + 1);
  const size_t equals = afterSlash.find('=');
  if (equals == std::string::npos) return std::nullopt;
  HandshakeReply fields{afterDash.substr(0, slash), afterSlash.substr(0, equals)};
  if (fields.echo.empty() || fields.signature.empty()) return std::nullopt;
  return fields;
}

void checkRaw(const std::string& reply) {
  const Session& live = session();
  const std::optional<HandshakeReply> parsed = parseHandshakeReply(reply);
  const std::optional<HandshakeReply> expected = expectedReply(reply);
  FUZZ_REQUIRE(kTarget, parsed.has_value() == expected.has_value(), "reply accepted or refused wrongly");
  const std::string echo = parsed ? parsed->echo : reply;
  const std::string signature = parsed ? parsed->signature : reply;
  if (parsed) {
    FUZZ_REQUIRE(kTarget, parsed->echo == expected->echo && parsed->signature == expected->signature,
                 "reply fields differ from the documented split");
  }
  const bool genuine = signatureDigits(signature) == signatureDigits(live.signature);
  const bool echoVerified = live.authenticator.verifyServerReply(echo, signature);
  FUZZ_REQUIRE(kTarget, !echoVerified || (echo == live.authenticator.sessionId() && genuine),
               "a reply that is not the session's verified");
  const bool signatureVerified = live.authenticator.verifyServerReply(live.authenticator.sessionId(), signature);
  FUZZ_REQUIRE(kTarget, !signatureVerified || genuine, "a forged signature verified");

  // A session that never drew a challenge accepts nothing.
  static SessionAuthenticator blank;
  FUZZ_REQUIRE(kTarget, !blank.verifyServerReply(echo, signature), "a session without a challenge verified");
  FUZZ_REQUIRE(kTarget, !blank.verifyServerReply("", signature), "the empty echo verified");
}

void checkGenuine(FuzzedDataProvider& input) {
  const Session& live = session();
  const std::string& id = live.authenticator.sessionId();
  std::string before = input.ConsumeRandomLengthString(64);
  before.erase(std::remove(before.begin(), before.end(), '-'), before.end());
  const std::string after = input.ConsumeRandomLengthString(64);
  const std::string reply = before + "-" + id + "/" + live.signature + "=" + after;
  const std::optional<HandshakeReply> parsed = parseHandshakeReply(reply);
  FUZZ_REQUIRE(kTarget, parsed && parsed->echo == id && parsed->signature == live.signature,
               "a genuine reply in other text was not split out");
  FUZZ_REQUIRE(kTarget, live.authenticator.verifyServerReply(parsed->echo, parsed->signature),
               "a genuine reply did not verify");

  // One character of the echo changed, even only its case: refused.
  std::string echo = id;
  const size_t at = input.ConsumeIntegralInRange<size_t>(0, echo.size() - 1);
  const char replacement = input.ConsumeIntegral<char>();
  if (replacement != echo[at]) {
    echo[at] = replacement;
    FUZZ_REQUIRE(kTarget, !live.authenticator.verifyServerReply(echo, live.signature), "a changed echo verified");
  }
  const size_t cut = input.ConsumeIntegralInRange<size_t>(1, id.size());
  FUZZ_REQUIRE(kTarget, !live.authenticator.verifyServerReply(id.substr(0, id.size() - cut), live.signature),
               "a shortened echo verified");

  // A signature with one byte changed, or cut short: refused.
  std::string signature = live.signature;
  const size_t byte = input.ConsumeIntegralInRange<size_t>(0, signature.size() / 2 - 1);
  const unsigned mask = input.ConsumeIntegralInRange<unsigned>(1, 255);
  static const char kDigits[] = "0123456789ABCDEF";
  const unsigned old = static_cast<unsigned>(std::stoul(signature.substr(2 * byte, 2), nullptr, 16));
  signature[2 * byte] = kDigits[((old ^ mask) >> 4) & 0xF];
  signature[2 * byte + 1] = kDigits[(old ^ mask) & 0xF];
  FUZZ_REQUIRE(kTarget, !live.authenticator.verifyServerReply(id, signature), "a changed signature verified");
  const size_t drop = 2 * input.ConsumeIntegralInRange<size_t>(1, live.signature.size() / 2);
  FUZZ_REQUIRE(kTarget,
               !live.authenticator.verifyServerReply(id, live.signature.substr(0, live.signature.size() - drop)),
               "a shortened signature verified");
}

}  // namespace

void handshakeTarget(const std::uint8_t* data, std::size_t size) {
  if (size > 0 && data[0] == 'G') {
    FuzzedDataProvider input(data + 1, size - 1);
    checkGenuine(input);
    return;
  }
  checkRaw(std::string(reinterpret_cast<const char*>(data), size));
}

}  // namespace corvane::testing
