// The signed manifest's checks, natively: signatures made by OpenSSL (through
// python3-cryptography) verified by Crypto++, and the format read strictly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>

#include "tests/trust/native_manifest_signer.h"
#include "trust/concurrent_digest.h"
#include "trust/signed_manifest.h"

namespace corvane::testing {
namespace {

constexpr char kSeed[] = "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb";
constexpr char kOtherSeed[] = "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7";
constexpr int64_t kNow = 1800000000;  // 2027-01-15T08:00:00Z
constexpr char kCatalog[] = "data,data.cab,data.txt,2.0.0.0,2,0\n";

std::string contentLine(const std::string& bytes) {
  return std::to_string(bytes.size()) + " " + digestHex(sha256Of(bytes));
}

// The text with its first `from` replaced by `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

std::string upperCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

std::string manifestText(uint64_t serial = 7, const std::string& expires = "2027-02-01T00:00:00Z") {
  return "corvane-manifest 1\nserial " + std::to_string(serial) + "\nexpires " + expires + "\ncatalog " +
         contentLine(kCatalog) + "\npackage " + contentLine("cabinet bytes") + " data.cab\ncertificate " +
         contentLine("DER") + " publisher cer.cer\n";
}

TEST(SignedManifest, VerdictsOnManifestsSignedByOpenSsl) {
  const std::string catalog = kCatalog;
  const std::string tamperedCatalog = "data,data.cab,data.txt,9.0.0.0,2,0\n";
  struct Case {
    const char* name;
    std::string text;
    std::function<void(std::string& text, OpenSslSignature& signature)> damage;
    uint64_t highestAccepted;
    const std::string* catalog;
    ManifestVerdict expected;
  };
  auto none = [](std::string&, OpenSslSignature&) {};
  const Case cases[] = {
      {"genuine", manifestText(), none, 0, &catalog, ManifestVerdict::Accepted},
      {"same serial as accepted", manifestText(7), none, 7, &catalog, ManifestVerdict::Accepted},
      {"no catalog to compare", manifestText(), none, 0, nullptr, ManifestVerdict::Accepted},
      {"lower serial", manifestText(6), none, 7, &catalog, ManifestVerdict::RolledBack},
      {"expired", manifestText(7, "2027-01-01T00:00:00Z"), none, 0, &catalog, ManifestVerdict::Expired},
      {"expires this second", manifestText(7, "2027-01-15T08:00:00Z"), none, 0, &catalog, ManifestVerdict::Expired},
      {"other catalog", manifestText(), none, 0, &tamperedCatalog, ManifestVerdict::CatalogMismatch},
      {"byte changed after signing", manifestText(),
       [](std::string& text, OpenSslSignature&) { text[text.find("serial 7")] = 'S'; }, 0, &catalog,
       ManifestVerdict::BadSignature},
      {"signed by another key", manifestText(),
       [](std::string& text, OpenSslSignature& signature) { signature = signWithOpenSsl(kOtherSeed, text); }, 0,
       &catalog, ManifestVerdict::BadSignature},
      {"signature missing", manifestText(),
       [](std::string&, OpenSslSignature& signature) { signature.signature.clear(); }, 0, &catalog,
       ManifestVerdict::BadSignature},
      {"signature truncated", manifestText(),
       [](std::string&, OpenSslSignature& signature) { signature.signature.erase(100); }, 0, &catalog,
       ManifestVerdict::BadSignature},
      {"unknown version", "corvane-manifest 2\nserial 7\n", none, 0, &catalog, ManifestVerdict::UnknownFormat},
      {"CR line ends", "corvane-manifest 1\r\nserial 7\r\n", none, 0, &catalog, ManifestVerdict::Malformed},
      {"repeated package", manifestText() + "package " + contentLine("x") + " data.cab\n", none, 0, &catalog,
       ManifestVerdict::Malformed},
      {"unknown line", manifestText() + "mirror http://elsewhere/\n", none, 0, &catalog, ManifestVerdict::Malformed},
      {"serial 0", manifestText(0), none, 0, &catalog, ManifestVerdict::Malformed},
      // One spelling per manifest: no leading zeros, lowercase digests.
      {"serial with leading zeros", replaced(manifestText(), "serial 7", "serial 007"), none, 0, &catalog,
       ManifestVerdict::Malformed},
      {"size with a leading zero", replaced(manifestText(), "catalog ", "catalog 0"), none, 0, &catalog,
       ManifestVerdict::Malformed},
      {"upper-case digest", replaced(manifestText(), contentLine("cabinet bytes"), upperCase(contentLine("cabinet bytes"))),
       none, 0, &catalog, ManifestVerdict::Malformed},
      {"no final line feed", manifestText().substr(0, manifestText().size() - 1), none, 0, &catalog,
       ManifestVerdict::Malformed},
  };
  const OpenSslSignature genuineKey = signWithOpenSsl(kSeed, "");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text = c.text;
    OpenSslSignature signature = signWithOpenSsl(kSeed, text);
    c.damage(text, signature);
    const ManifestCheck check =
        checkManifest(genuineKey.key, text, signature.signature, kNow, c.highestAccepted, c.catalog);
    EXPECT_EQ(c.expected, check.verdict) << manifestVerdictText(check.verdict);
    EXPECT_EQ(c.expected == ManifestVerdict::Accepted, check.manifest.has_value());
  }
}

TEST(SignedManifest, AcceptedManifestListsWhatItVouchesFor) {
  const std::string text = manifestText(12);
  const OpenSslSignature signature = signWithOpenSsl(kSeed, text);
  const std::string catalog = kCatalog;
  const ManifestCheck check = checkManifest(signature.key, text, signature.signature, kNow, 3, &catalog);
  ASSERT_TRUE(check.manifest);
  EXPECT_EQ(12u, check.manifest->serial);
  ASSERT_EQ(1u, check.manifest->packages.count("data.cab"));
  EXPECT_EQ(sha256Of("cabinet bytes"), check.manifest->packages.at("data.cab").sha256);
  EXPECT_EQ(13u, check.manifest->packages.at("data.cab").size);
  // Names run to the end of the line: blanks inside are part of them.
  EXPECT_EQ(1u, check.manifest->certificates.count("publisher cer.cer"));
  EXPECT_EQ(0u, check.manifest->packages.count("publisher cer.cer"));
}

TEST(SignedManifest, Rfc8032FirstVectorVerifies) {
  const ManifestPublicKey key =
      manifestKeyFromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a").value();
  const std::string signature =
      "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe2465"
      "5141438e7a100b";
  EXPECT_TRUE(signatureVerifies(key, "", signature));
  EXPECT_FALSE(signatureVerifies(key, "x", signature));
}

TEST(SignedManifest, UtcTimesAreReadExactly) {
  const struct {
    const char* text;
    std::optional<int64_t> seconds;
  } cases[] = {
      {"1970-01-01T00:00:00Z", 0},
      {"2027-01-15T08:00:00Z", 1800000000},
      {"2028-02-29T12:30:15Z", 1835440215},
      {"2027-02-29T00:00:00Z", std::nullopt},
      {"2027-13-01T00:00:00Z", std::nullopt},
      {"2027-01-01T24:00:00Z", std::nullopt},
      {"2027-01-01T00:00:00", std::nullopt},
      {"2027-01-01 00:00:00Z", std::nullopt},
      {"2027-1-01T00:00:00Z", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(c.seconds, parseUtcTime(c.text)) << c.text;
}

// Bodies of several of the concurrent digest's blocks, read in pieces of odd sizes, as the
// downloader reads them: the digest on its own thread is the digest of the whole.
TEST(SignedManifest, StreamedDigestMatchesOnlyTheExactContent) {
  std::string body(3 * 1024 * 1024 + 12345, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 2654435761u) >> 13);
  std::string altered = body;
  altered[2 * 1024 * 1024] ^= 1;
  const ExpectedContent expected{body.size(), sha256Of(body)};
  const struct {
    const std::string* sent;
    size_t pieceSize;
    size_t stopAt;
    bool matches;
  } cases[] = {
      {&body, 16384, body.size(), true},   {&body, 1000, body.size(), true},
      {&body, 1 << 20, body.size(), true}, {&body, 16384, body.size() - 1, false},
      {&altered, 16384, body.size(), false},
  };
  for (const auto& c : cases) {
    ContentDigest inline_;
    ConcurrentDigest concurrent;
    for (size_t at = 0; at < c.stopAt;) {
      size_t room = 0;
      uint8_t* into = concurrent.room(room);
      const size_t length = std::min({c.pieceSize, room, c.stopAt - at});
      std::memcpy(into, c.sent->data() + at, length);
      concurrent.added(length);
      inline_.add(c.sent->data() + at, length);
      at += length;
    }
    EXPECT_EQ(c.matches, inline_.matches(expected)) << c.pieceSize;
    EXPECT_EQ(c.matches, concurrent.matches(expected)) << c.pieceSize;
  }
  ConcurrentDigest abandoned;  // ends its thread when dropped unfinished
  size_t room = 0;
  abandoned.room(room);
  abandoned.added(room);
}

}  // namespace
}  // namespace corvane::testing
