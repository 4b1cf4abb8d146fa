#include "trust/signed_manifest.h"

#include <cryptopp/sha.h>
#include <cryptopp/xed25519.h>

#include <cstring>
#include <vector>

namespace corvane {
namespace {

constexpr std::string_view kFormatLine = "corvane-manifest ";
constexpr std::string_view kKnownVersion = "1";
constexpr size_t kMaxNameLength = 255;
constexpr size_t kSignatureBytes = 64;

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Exactly 2 * size hexadecimal digits into size bytes.
bool decodeHex(std::string_view hex, uint8_t* out, size_t size) {
  if (hex.size() != 2 * size) return false;
  for (size_t i = 0; i < size; ++i) {
    const int high = hexValue(hex[2 * i]);
    const int low = hexValue(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    out[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return true;
}

// The digest as the publishing tool writes it: lowercase only, so that one manifest has
// one spelling.
bool decodeDigest(std::string_view hex, Sha256Digest& digest) {
  for (const char c : hex) {
    if (c >= 'A' && c <= 'F') return false;
  }
  return decodeHex(hex, digest.data(), digest.size());
}

// Decimal without sign or leading zeros, within 64 bits.
std::optional<uint64_t> parseDecimal(std::string_view text) {
  if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// Splits off the text up to the first space; false when there is none.
bool takeField(std::string_view& rest, std::string_view& field) {
  const size_t space = rest.find(' ');
  if (space == std::string_view::npos) return false;
  field = rest.substr(0, space);
  rest.remove_prefix(space + 1);
  return true;
}

bool nameAcceptable(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return false;
  }
  return true;
}

// "SIZE SHA256".
bool parseContent(std::string_view text, ExpectedContent& content) {
  std::string_view size;
  if (!takeField(text, size)) return false;
  const std::optional<uint64_t> value = parseDecimal(size);
  if (!value || !decodeDigest(text, content.sha256)) return false;
  content.size = *value;
  return true;
}

// "SIZE SHA256 NAME" into the map; a repeated name makes the manifest ambiguous.
bool parseNamedContent(std::string_view text, std::map<std::string, ExpectedContent>& into) {
  std::string_view size, digest;
  if (!takeField(text, size) || !takeField(text, digest)) return false;
  ExpectedContent content;
  const std::optional<uint64_t> value = parseDecimal(size);
  if (!value || !decodeDigest(digest, content.sha256) || !nameAcceptable(text)) return false;
  content.size = *value;
  return into.emplace(std::string(text), content).second;
}

// Lines end with LF, the last one too; a manifest with a CR or an unterminated line is not
// one the tool wrote.
std::optional<std::vector<std::string_view>> splitLines(std::string_view text) {
  if (text.empty() || text.back() != '\n' || text.find('\r') != std::string_view::npos) return std::nullopt;
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  return lines;
}

bool parseHeaderValue(std::string_view line, std::string_view keyword, std::string_view& value) {
  if (line.size() <= keyword.size() + 1 || line.substr(0, keyword.size()) != keyword || line[keyword.size()] != ' ') {
    return false;
  }
  value = line.substr(keyword.size() + 1);
  return true;
}

int64_t daysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

bool isLeapYear(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

}  // namespace

const char* manifestVerdictText(ManifestVerdict verdict) noexcept {
  switch (verdict) {
    case ManifestVerdict::Accepted: return "accepted";
    case ManifestVerdict::BadSignature: return "its signature is missing, malformed or not by the build's key";
    case ManifestVerdict::UnknownFormat: return "its format version is unknown";
    case ManifestVerdict::Malformed: return "it is not well formed";
    case ManifestVerdict::Expired: return "it has expired";
    case ManifestVerdict::RolledBack: return "its serial is lower than one already accepted";
    case ManifestVerdict::CatalogMismatch: return "the catalog is not the one it vouches for";
  }
  return "unknown";
}

std::optional<int64_t> parseUtcTime(std::string_view text) {
  // YYYY-MM-DDTHH:MM:SSZ
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z') {
    return std::nullopt;
  }
  auto number = [&](size_t at, size_t length) -> std::optional<unsigned> {
    unsigned value = 0;
    for (size_t i = at; i < at + length; ++i) {
      if (text[i] < '0' || text[i] > '9') return std::nullopt;
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return value;
  };
  const auto year = number(0, 4), month = number(5, 2), day = number(8, 2);
  const auto hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
  if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
  static const unsigned kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (*month < 1 || *month > 12 || *day < 1) return std::nullopt;
  const unsigned monthDays = kDaysInMonth[*month - 1] + (*month == 2 && isLeapYear(*year) ? 1 : 0);
  if (*day > monthDays || *hour > 23 || *minute > 59 || *second > 59) return std::nullopt;
  return daysFromCivil(*year, *month, *day) * 86400 + *hour * 3600 + *minute * 60 + *second;
}

std::optional<Manifest> parseManifest(std::string_view text, bool& unknownVersion) {
  // A later version may change everything after its first line: that line alone tells it
  // apart from a damaged manifest.
  const std::string_view first = text.substr(0, text.find('\n'));
  const std::string_view version =
      first.substr(0, kFormatLine.size()) == kFormatLine ? first.substr(kFormatLine.size()) : std::string_view();
  unknownVersion = version != kKnownVersion && parseDecimal(version).has_value();
  if (version != kKnownVersion) return std::nullopt;
  const std::optional<std::vector<std::string_view>> lines = splitLines(text);
  if (!lines || lines->size() < 4) return std::nullopt;

  Manifest manifest;
  std::string_view serial, expires, catalog;
  if (!parseHeaderValue((*lines)[1], "serial", serial) || !parseHeaderValue((*lines)[2], "expires", expires) ||
      !parseHeaderValue((*lines)[3], "catalog", catalog)) {
    return std::nullopt;
  }
  const std::optional<uint64_t> serialValue = parseDecimal(serial);
  const std::optional<int64_t> expiresAt = parseUtcTime(expires);
  if (!serialValue || *serialValue == 0 || !expiresAt || !parseContent(catalog, manifest.catalog)) return std::nullopt;
  manifest.serial = *serialValue;
  manifest.expiresAt = *expiresAt;

  for (size_t i = 4; i < lines->size(); ++i) {
    std::string_view value;
    const std::string_view line = (*lines)[i];
    if (parseHeaderValue(line, "package", value)) {
      if (!parseNamedContent(value, manifest.packages)) return std::nullopt;
    } else if (parseHeaderValue(line, "certificate", value)) {
      if (!parseNamedContent(value, manifest.certificates)) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  return manifest;
}

bool signatureVerifies(const ManifestPublicKey& key, std::string_view manifestText, std::string_view signatureText) {
  // The tool writes 128 hexadecimal digits and a line feed; a bare line is taken too.
  if (!signatureText.empty() && signatureText.back() == '\n') signatureText.remove_suffix(1);
  uint8_t signature[kSignatureBytes];
  if (!decodeHex(signatureText, signature, sizeof signature)) return false;
  try {
    const CryptoPP::ed25519::Verifier verifier(key.data());
    return verifier.VerifyMessage(reinterpret_cast<const CryptoPP::byte*>(manifestText.data()), manifestText.size(),
                                  signature, sizeof signature);
  } catch (const CryptoPP::Exception&) {
    return false;
  }
}

ManifestCheck checkManifest(const ManifestPublicKey& key, std::string_view manifestText,
                            std::string_view signatureText, int64_t now, uint64_t highestAcceptedSerial,
                            const std::string* catalog) {
  ManifestCheck check;
  // Nothing unsigned is read: the signature is checked over the raw bytes first.
  if (!signatureVerifies(key, manifestText, signatureText)) {
    check.verdict = ManifestVerdict::BadSignature;
    return check;
  }
  bool unknownVersion = false;
  std::optional<Manifest> manifest = parseManifest(manifestText, unknownVersion);
  if (!manifest) {
    check.verdict = unknownVersion ? ManifestVerdict::UnknownFormat : ManifestVerdict::Malformed;
    return check;
  }
  if (now >= manifest->expiresAt) {
    check.verdict = ManifestVerdict::Expired;
  } else if (manifest->serial < highestAcceptedSerial) {
    check.verdict = ManifestVerdict::RolledBack;
  } else if (catalog && (catalog->size() != manifest->catalog.size || sha256Of(*catalog) != manifest->catalog.sha256)) {
    check.verdict = ManifestVerdict::CatalogMismatch;
  } else {
    check.verdict = ManifestVerdict::Accepted;
    check.manifest = std::move(manifest);
  }
  return check;
}

Sha256Digest sha256Of(std::string_view bytes) {
  Sha256Digest out{};
  CryptoPP::SHA256().CalculateDigest(out.data(), reinterpret_cast<const CryptoPP::byte*>(bytes.data()), bytes.size());
  return out;
}

std::string digestHex(const Sha256Digest& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const uint8_t byte : digest) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

std::string keyFingerprint(const ManifestPublicKey& key) {
  return digestHex(sha256Of(std::string_view(reinterpret_cast<const char*>(key.data()), key.size())));
}

std::optional<ManifestPublicKey> manifestKeyFromHex(std::string_view hex) {
  ManifestPublicKey key{};
  if (!decodeHex(hex, key.data(), key.size())) return std::nullopt;
  return key;
}

struct ContentDigest::State {
  CryptoPP::SHA256 hash;
};

ContentDigest::ContentDigest() : state_(std::make_unique<State>()) {}
ContentDigest::~ContentDigest() = default;

void ContentDigest::add(const void* bytes, size_t length) {
  state_->hash.Update(static_cast<const CryptoPP::byte*>(bytes), length);
  size_ += length;
}

ExpectedContent ContentDigest::finish() {
  ExpectedContent content;
  content.size = size_;
  state_->hash.Final(content.sha256.data());
  return content;
}

bool ContentDigest::matches(const ExpectedContent& expected) {
  const ExpectedContent seen = finish();
  return seen.size == expected.size && seen.sha256 == expected.sha256;
}

}  // namespace corvane
