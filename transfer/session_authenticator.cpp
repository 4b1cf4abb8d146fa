#include "transfer/session_authenticator.h"

#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>

#include "generated/server_public_key.h"

namespace corvane {

namespace {
constexpr unsigned int kSeedSize = 32;
}  // namespace

SessionAuthenticator::SessionAuthenticator() : random_(false, kSeedSize), challenge_(kChallengeSize) {}

void SessionAuthenticator::createSessionId() {
  random_.GenerateBlock(challenge_.data(), challenge_.size());
  sessionId_.clear();
  CryptoPP::HexEncoder encoder(new CryptoPP::StringSink(sessionId_), true, 0, "", "");
  encoder.Put(challenge_.data(), challenge_.size());
  encoder.MessageEnd();
}

bool SessionAuthenticator::verifyServerReply(const std::string& echo, const std::string& signatureHex) const noexcept {
  // An empty session value means createSessionId never ran: nothing can match it.
  if (sessionId_.empty() || echo != sessionId_) return false;
  try {
    CryptoPP::StringSource signatureSource(signatureHex, true, new CryptoPP::HexDecoder);
    CryptoPP::SecByteBlock signature(static_cast<std::size_t>(signatureSource.MaxRetrievable()));
    signatureSource.Get(signature.data(), signature.size());

    CryptoPP::StringSource keySource(kServerPublicKeyHex, true, new CryptoPP::HexDecoder);
    CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Verifier verifier(keySource);
    return verifier.VerifyMessage(challenge_.data(), challenge_.size(), signature.data(), signature.size());
  } catch (...) {
    // A library error (odd signature length, allocation) is a failed check, never a crash.
    return false;
  }
}

}  // namespace corvane
