#include "update/consistency_rules.h"

#include <cstdio>

#include "base/ascii.h"
#include "update/update_rules.h"

namespace corvane {
namespace {

constexpr char kTemporaryListPrefix[] = "~cvlist-";
constexpr char kTemporaryListSuffix[] = ".tmp";
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

std::string temporaryListName(const std::string& listFileName, uint32_t unique) {
  char digits[kUniqueDigits + 1];
  std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(unique));
  return kTemporaryListPrefix + listFileName + "-" + digits + kTemporaryListSuffix;
}

std::string temporaryListPattern(const std::string& listFileName) {
  return kTemporaryListPrefix + listFileName + "-*" + kTemporaryListSuffix;
}

bool isTemporaryListName(const std::string& listFileName, const std::string& candidate) {
  const std::string head = kTemporaryListPrefix + listFileName + "-";
  const std::string tail = kTemporaryListSuffix;
  if (candidate.size() != head.size() + kUniqueDigits + tail.size()) return false;
  if (!equalsIgnoringAsciiCase(std::string_view(candidate).substr(0, head.size()), head)) return false;
  if (!equalsIgnoringAsciiCase(std::string_view(candidate).substr(head.size() + kUniqueDigits), tail)) return false;
  for (size_t i = head.size(); i < head.size() + kUniqueDigits; ++i) {
    if (!isHexDigit(candidate[i])) return false;
  }
  return true;
}

}  // namespace corvane
