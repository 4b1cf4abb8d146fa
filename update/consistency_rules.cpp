#include "update/consistency_rules.h"

#include <cstdio>

#include "base/ascii.h"
#include "update/update_rules.h"

namespace corvane {
namespace {

constexpr char kTemporaryListPrefix[] = "~cvlist-";
constexpr char kTemporaryFilePrefix[] = "~cvnew-";
constexpr char kAsidePrefix[] = "~cvold-";
constexpr char kLeftoverSuffix[] = ".tmp";
constexpr size_t kUniqueDigits = 8;
// The platform's codes for a file, or a folder on its path, that is not there.
constexpr unsigned long kFileNotFound = 2;
constexpr unsigned long kPathNotFound = 3;

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool namesFile(const ComponentList& list, const std::string& file, FileNameFold fold, bool staleOnesCount) {
  for (const auto& record : list) {
    if (!staleOnesCount && record->state == Stale) continue;
    if (sameFileName(record->file, file, fold)) return true;
  }
  return false;
}

}  // namespace

std::string foldAsciiCase(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) c = upperAscii(c);
  return folded;
}

bool sameFileName(const std::string& a, const std::string& b, FileNameFold fold) {
  return fold(a) == fold(b);
}

StaleStep staleStepFor(const ComponentList& local, size_t index, const ComponentList& selection,
                       const std::string& installPath, unsigned codePage, FileNameFold fold) {
  const ComponentRecord& stale = *local.at(index);
  // A path past the platform limit is left alone rather than cut into another path.
  if (!installedPathUsable(installPath, stale.file, codePage)) return StaleStep::Keep;
  if (namesFile(local, stale.file, fold, false)) return StaleStep::DropRecord;
  if (namesFile(selection, stale.file, fold, true)) return StaleStep::AwaitInstallation;
  return StaleStep::DeleteFile;
}

DeletionResult deletionResultFor(bool deleted, unsigned long lastError) {
  if (deleted) return DeletionResult::Deleted;
  if (lastError == kFileNotFound || lastError == kPathNotFound) return DeletionResult::AlreadyMissing;
  return DeletionResult::Refused;
}

size_t dropStaleRecordsNaming(ComponentList& local, const std::string& file, FileNameFold fold) {
  size_t dropped = 0;
  for (size_t i = 0; i < local.length();) {
    if (local.at(i)->state == Stale && sameFileName(local.at(i)->file, file, fold)) {
      local.removeAt(i);
      ++dropped;
    } else {
      ++i;
    }
  }
  return dropped;
}

std::string componentListText(const ComponentList& list) {
  std::string text;
  for (const auto& record : list) text += formatComponentLine(*record);
  return text;
}

std::optional<std::string> ListFileContent::textToWrite(const ComponentList& list) const {
  std::string text = componentListText(list);
  if (held_ && *held_ == text) return std::nullopt;
  return text;
}

namespace {

std::string leftoverName(const char* prefix, const std::string& middle, uint32_t number) {
  char digits[kUniqueDigits + 1];
  std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(number));
  return prefix + middle + digits + kLeftoverSuffix;
}

// The middle part and number of a leftover name of the given kind, letter case aside.
std::optional<AsideName> parseLeftoverName(const std::string& prefix, const std::string& candidate) {
  const std::string_view tail = kLeftoverSuffix;
  if (candidate.size() < prefix.size() + kUniqueDigits + tail.size()) return std::nullopt;
  const std::string_view text(candidate);
  if (!equalsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix)) return std::nullopt;
  if (!equalsIgnoringAsciiCase(text.substr(text.size() - tail.size()), tail)) return std::nullopt;
  const size_t digitsAt = text.size() - tail.size() - kUniqueDigits;
  uint32_t number = 0;
  for (size_t i = digitsAt; i < digitsAt + kUniqueDigits; ++i) {
    if (!isHexDigit(candidate[i])) return std::nullopt;
    const char c = lowerAscii(candidate[i]);
    number = (number << 4) | static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  return AsideName{candidate.substr(prefix.size(), digitsAt - prefix.size()), number};
}

}  // namespace

std::string temporaryListName(const std::string& listFileName, uint32_t unique) {
  return leftoverName(kTemporaryListPrefix, listFileName + "-", unique);
}

std::string temporaryListPattern(const std::string& listFileName) {
  return kTemporaryListPrefix + listFileName + "-*" + kLeftoverSuffix;
}

bool isTemporaryListName(const std::string& listFileName, const std::string& candidate) {
  const std::optional<AsideName> parsed = parseLeftoverName(kTemporaryListPrefix, candidate);
  return parsed && equalsIgnoringAsciiCase(parsed->original, listFileName + "-");
}

std::string temporaryFileName(uint32_t unique) { return leftoverName(kTemporaryFilePrefix, "", unique); }

bool isTemporaryFileName(const std::string& candidate) {
  const std::optional<AsideName> parsed = parseLeftoverName(kTemporaryFilePrefix, candidate);
  return parsed && parsed->original.empty();
}

std::string asideFileName(const std::string& fileName, uint32_t number) {
  return leftoverName(kAsidePrefix, fileName + "-", number);
}

std::optional<AsideName> parseAsideFileName(const std::string& candidate) {
  std::optional<AsideName> parsed = parseLeftoverName(kAsidePrefix, candidate);
  if (!parsed || parsed->original.size() < 2 || parsed->original.back() != '-') return std::nullopt;
  parsed->original.pop_back();
  return parsed;
}

}  // namespace corvane
