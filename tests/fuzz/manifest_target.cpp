// The signed manifest's checks. Raw inputs are parsed and checked as a manifest with a
// signature; a genuine manifest (signed once per process through OpenSSL) is damaged at a
// chosen place, and must then be refused.
#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <exception>
#include <memory>

#include "tests/fuzz/fuzz_targets.h"
#include "tests/trust/native_manifest_signer.h"
#include "trust/signed_manifest.h"

namespace corvane::testing {
namespace {

constexpr const char* kTarget = "manifest";
constexpr char kSeed[] = "1f6d7e3cf1d2d6c0a9e95b0a2c6a0c3f4e1d2b3a49587766554433221100ffee";
constexpr int64_t kNow = 1800000000;
constexpr char kManifest[] =
    "corvane-manifest 1\nserial 40\nexpires 2027-06-01T00:00:00Z\n"
    "catalog 4 edeaaff3f1774ad2888673770c6d64097e391bc362d7d6fb34982ddf0efd18cb\n"
    "package 1 2d711642b726b04401627ca9fbac32f5c8530fb1903cc4db02258717921a4881 b.cab\n";

const OpenSslSignature& genuine() {
  static const std::unique_ptr<OpenSslSignature> made = [] {
    std::unique_ptr<OpenSslSignature> result;
    try {
      result = std::make_unique<OpenSslSignature>(signWithOpenSsl(kSeed, kManifest));
    } catch (const std::exception&) {
    }
    FUZZ_REQUIRE(kTarget, result != nullptr, "the manifest could not be signed");
    const std::string catalog = "abc\n";
    FUZZ_REQUIRE(kTarget,
                 checkManifest(result->key, kManifest, result->signature, kNow, 0, &catalog).verdict ==
                     ManifestVerdict::Accepted,
                 "the genuine manifest is not accepted");
    return result;
  }();
  return *made;
}

}  // namespace

void manifestTarget(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const OpenSslSignature& signedOne = genuine();
  const std::string catalog = "abc\n";
  if (input.ConsumeBool()) {
    // Raw text under the genuine signature: accepted only if it is the genuine text.
    const std::string text = input.ConsumeRemainingBytesAsString();
    bool unknownVersion = false;
    (void)parseManifest(text, unknownVersion);
    const ManifestCheck check = checkManifest(signedOne.key, text, signedOne.signature, kNow, 0, &catalog);
    FUZZ_REQUIRE(kTarget, check.verdict != ManifestVerdict::Accepted || text == kManifest,
                 "other text accepted under the genuine signature");
    return;
  }
  std::string text = kManifest;
  std::string signature = signedOne.signature;
  std::string& victim = input.ConsumeBool() ? text : signature;
  const size_t at = input.ConsumeIntegralInRange<size_t>(0, victim.size() - 1);
  const char replacement = input.ConsumeIntegral<char>();
  const bool changed = victim[at] != replacement;
  victim[at] = replacement;
  const ManifestCheck check = checkManifest(signedOne.key, text, signature, kNow, 0, &catalog);
  // Hex digits of the signature may change case, and its final line feed may go: the same
  // signature. Any other change must be refused.
  const bool sameSignatureSpelledOtherwise = &victim == &signature && std::tolower(replacement) ==
                                                 std::tolower(signedOne.signature[at]);
  FUZZ_REQUIRE(kTarget, !changed || sameSignatureSpelledOtherwise || check.verdict != ManifestVerdict::Accepted,
               "a damaged manifest or signature was accepted");
}

}  // namespace corvane::testing
