// What keeps the installation whole across failed steps and interrupted calls: which
// stale records may delete their file, when the local list needs writing, and the names
// of the list's temporary files. No Windows headers: tested natively.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "update/component_list.h"

namespace corvane {

// Installed file names compare as the file system compares them: without regard to
// letter case. The driver passes the platform's code-page fold; tests use ASCII's.
using FileNameFold = std::string (*)(const std::string&);
std::string foldAsciiCase(const std::string& name);
bool sameFileName(const std::string& a, const std::string& b, FileNameFold fold);

enum class StaleStep {
  DeleteFile,         // nothing else needs the file: delete it, then drop the record
  DropRecord,         // a record that is not stale names the file: drop the line, keep the file
  AwaitInstallation,  // this call installs the file: the record goes once the new one is written
  Keep,               // the path cannot be used safely: leave record and file alone
};
// For the stale record at `index` of `local`, given the records this call installs; the
// code page is the one the record's bytes are in.
StaleStep staleStepFor(const ComponentList& local, size_t index, const ComponentList& selection,
                       const std::string& installPath, unsigned codePage, FileNameFold fold);

// A deletion that failed because the file (or its folder) is already gone removed it all
// the same; any other failure (in use, access denied, a directory) keeps the record.
enum class DeletionResult { Deleted, AlreadyMissing, Refused };
DeletionResult deletionResultFor(bool deleted, unsigned long lastError);
inline bool staleRecordGoes(DeletionResult result) { return result != DeletionResult::Refused; }

// Removes every stale record naming `file` (once the new copy of it is in place);
// returns how many went.
size_t dropStaleRecordsNaming(ComponentList& local, const std::string& file, FileNameFold fold);

// The bytes a rewrite of the list leaves in the file.
std::string componentListText(const ComponentList& list);

// What the local list file holds now (nullopt: no file), so that it is written only when
// the records' text differs from it. A failed write leaves the held text as it was.
class ListFileContent {
 public:
  explicit ListFileContent(std::optional<std::string> held) : held_(std::move(held)) {}
  // The text to write so that the file shows `list`, or nullopt when it already does.
  std::optional<std::string> textToWrite(const ComponentList& list) const;
  void written(std::string text) { held_ = std::move(text); }
  const std::optional<std::string>& held() const { return held_; }

 private:
  std::optional<std::string> held_;
};

// Leftover names: what a call makes beside an installed file and the next call clears up.
// Each is "~cv" + a kind + "-", a middle part, 8 hex digits and ".tmp"; only names of that
// exact form count as leftovers.
//
// Temporary files of list writes: "~cvlist-" + the list's file name + "-" + digits + ".tmp",
// beside the list.
std::string temporaryListName(const std::string& listFileName, uint32_t unique);
std::string temporaryListPattern(const std::string& listFileName);
bool isTemporaryListName(const std::string& listFileName, const std::string& candidate);

// A package's file extracted beside its target before it replaces it: "~cvnew-" + digits +
// ".tmp". Short, so that it fits wherever the target's own path fits.
std::string temporaryFileName(uint32_t unique);
bool isTemporaryFileName(const std::string& candidate);

// The old copy of a file that was in use when its replacement came: "~cvold-" + the file's
// name + "-" + digits + ".tmp", beside it. A higher number is a newer copy.
std::string asideFileName(const std::string& fileName, uint32_t number);
struct AsideName {
  std::string original;  // the name of the file it was
  uint32_t number = 0;
};
std::optional<AsideName> parseAsideFileName(const std::string& candidate);

// Matches every kind of leftover name (and more: check each name found).
constexpr char kLeftoverPattern[] = "~cv*.tmp";

}  // namespace corvane
