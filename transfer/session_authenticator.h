// Server authentication for one download: a fresh random challenge, its hexadecimal
// session value, and the check of the server's echo and RSA signature over the challenge.
#pragma once

#include <cryptopp/osrng.h>
#include <cryptopp/secblock.h>

#include <cstddef>
#include <string>

namespace corvane {

class SessionAuthenticator {
 public:
  static constexpr std::size_t kChallengeSize = 1024;

  // Seeds from the operating system's random source; throws the library's error when
  // that source is unavailable (the downloader turns that into a result).
  SessionAuthenticator();
  SessionAuthenticator(const SessionAuthenticator&) = delete;
  SessionAuthenticator& operator=(const SessionAuthenticator&) = delete;

  // Draws a new challenge and makes sessionId() its uppercase hexadecimal text.
  void createSessionId();
  const std::string& sessionId() const noexcept { return sessionId_; }

  // True only when echo equals sessionId() exactly and signatureHex is a valid
  // signature over the raw challenge by the built-in server key. Never throws.
  bool verifyServerReply(const std::string& echo, const std::string& signatureHex) const noexcept;

 private:
  CryptoPP::AutoSeededRandomPool random_;
  CryptoPP::SecByteBlock challenge_;
  std::string sessionId_;
};

}  // namespace corvane
