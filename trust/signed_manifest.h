// The signed manifest that a deployment may publish beside its catalog: an Ed25519
// signature, made with a key kept off the component server, over the sizes and SHA-256
// digests of the catalog and of every package and certificate the server hands out.
// Platform-free: the checks are built natively too, for sanitizers and fuzzers.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

using Sha256Digest = std::array<uint8_t, 32>;
using ManifestPublicKey = std::array<uint8_t, 32>;

// What a file must be to be the one the manifest vouches for.
struct ExpectedContent {
  uint64_t size = 0;
  Sha256Digest sha256{};
};

struct Manifest {
  uint64_t serial = 0;
  int64_t expiresAt = 0;  // seconds since 1970-01-01 UTC
  ExpectedContent catalog;
  std::map<std::string, ExpectedContent> packages;      // by the catalog's package name
  std::map<std::string, ExpectedContent> certificates;  // by the name InstallCertificate is given
};

// Why a manifest is not accepted, in the order the checks run.
enum class ManifestVerdict {
  Accepted,
  BadSignature,       // the signature file is not one signature, or not by the key
  UnknownFormat,      // signed, but of a format version this control does not know
  Malformed,          // signed, of a known version, but not well formed
  Expired,
  RolledBack,         // its serial is lower than one this user already accepted
  CatalogMismatch,    // the catalog's bytes are not the ones it vouches for
};

const char* manifestVerdictText(ManifestVerdict verdict) noexcept;

struct ManifestCheck {
  ManifestVerdict verdict = ManifestVerdict::BadSignature;
  std::optional<Manifest> manifest;  // set only when accepted
};

// Everything the control decides about a fetched manifest. A null catalog is not compared
// (the certificate job reads no catalog). Never throws but for memory.
ManifestCheck checkManifest(const ManifestPublicKey& key, std::string_view manifestText,
                            std::string_view signatureText, int64_t now, uint64_t highestAcceptedSerial,
                            const std::string* catalog);

// The pieces, for tests and for the fuzzer.
bool signatureVerifies(const ManifestPublicKey& key, std::string_view manifestText, std::string_view signatureText);
// Parses a manifest of the known version; nullopt when malformed. `unknownVersion` is set
// when the first line names another version.
std::optional<Manifest> parseManifest(std::string_view text, bool& unknownVersion);
// "YYYY-MM-DDTHH:MM:SSZ" to seconds since the epoch; nullopt for anything else.
std::optional<int64_t> parseUtcTime(std::string_view text);

Sha256Digest sha256Of(std::string_view bytes);
// Lowercase hexadecimal, as the manifest and the key's fingerprint spell digests.
std::string digestHex(const Sha256Digest& digest);
// Lowercase hexadecimal SHA-256 of the key: how deployers and the serial store name it.
std::string keyFingerprint(const ManifestPublicKey& key);
// 64 hexadecimal digits (either case) to a key; nullopt otherwise.
std::optional<ManifestPublicKey> manifestKeyFromHex(std::string_view hex);

// SHA-256 of a body as it streams past, and whether it is the content a manifest expects.
class ContentDigest {
 public:
  ContentDigest();
  ~ContentDigest();
  ContentDigest(const ContentDigest&) = delete;
  ContentDigest& operator=(const ContentDigest&) = delete;
  void add(const void* bytes, size_t length);
  // Ends the digest: the size and SHA-256 of what went past.
  ExpectedContent finish();
  // Ends the digest: true when exactly `expected` went past.
  bool matches(const ExpectedContent& expected);

 private:
  struct State;
  std::unique_ptr<State> state_;
  uint64_t size_ = 0;
};

}  // namespace corvane
