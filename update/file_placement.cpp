#include "update/file_placement.h"

#include <windows.h>

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "base/diagnostic_log.h"
#include "base/mutation_points.h"
#include "base/unique_resource.h"
#include "update/consistency_rules.h"
#include "update/path_rules.h"

namespace corvane {
namespace {

constexpr DWORD kBlockingAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
constexpr uint32_t kAsideAttempts = 16;

// A rename and the error it ended with, taken before anything else can change it.
struct Rename {
  bool done = false;
  DWORD error = 0;
};

Rename renameFile(const char* step, const std::string& from, const std::string& to, DWORD flags) {
  return mutateFileSystem(step, [&] {
    Rename rename;
    rename.done = ::MoveFileExA(from.c_str(), to.c_str(), flags | MOVEFILE_WRITE_THROUGH) != FALSE;
    rename.error = rename.done ? 0 : ::GetLastError();
    return rename;
  });
}

bool pathExists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A read-only old copy refuses replacement; hidden and system ones may refuse being written over.
void clearBlockingAttributes(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & kBlockingAttributes) == 0) return;
  DWORD cleared = attributes & ~kBlockingAttributes;
  if (cleared == 0) cleared = FILE_ATTRIBUTE_NORMAL;
  const bool done = mutateFileSystem("clear attributes", [&] { return ::SetFileAttributesA(path.c_str(), cleared); });
  logStep("%s had attributes 0x%lX: %s", path.c_str(), static_cast<unsigned long>(attributes),
          done ? "read-only, hidden and system cleared" : "could not be cleared");
}

// Every leftover name in a directory, as found.
std::vector<std::string> leftoverNamesIn(const std::string& directory) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA entry;
  UniqueFindHandle search(::FindFirstFileA(joinPath(directory, kLeftoverPattern).c_str(), &entry));
  if (!search) return names;
  do {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names.push_back(entry.cFileName);
  } while (::FindNextFileA(search.get(), &entry));
  return names;
}

// Aside copies of one file, the newest first.
struct AsideCopies {
  std::string original;  // the file's name as the newest copy spells it
  std::vector<std::pair<uint32_t, std::string>> copies;  // number, leftover name
};

std::map<std::string, AsideCopies> asideCopiesIn(const std::vector<std::string>& leftovers) {
  std::map<std::string, AsideCopies> byFile;
  for (const std::string& name : leftovers) {
    const std::optional<AsideName> aside = parseAsideFileName(name);
    if (!aside || !isSafeRelativeName(aside->original, ::GetACP()) ||
        aside->original.find_first_of("\\/") != std::string::npos) {
      continue;
    }
    AsideCopies& copies = byFile[foldFileName(aside->original)];
    copies.copies.emplace_back(aside->number, name);
  }
  for (auto& [folded, copies] : byFile) {
    std::sort(copies.copies.rbegin(), copies.copies.rend());
    copies.original = parseAsideFileName(copies.copies.front().second)->original;
  }
  return byFile;
}

uint32_t nextAsideNumber(const std::string& directory, const std::string& fileName) {
  const auto copies = asideCopiesIn(leftoverNamesIn(directory));
  const auto found = copies.find(foldFileName(fileName));
  return found == copies.end() ? 1 : found->second.copies.front().first + 1;
}

bool moveAside(const std::string& targetPath, std::string& asidePath, DWORD& error) {
  const std::string directory = directoryOfPath(targetPath);
  const std::string fileName = fileNameOfPath(targetPath);
  const uint32_t first = nextAsideNumber(directory, fileName);
  for (uint32_t attempt = 0; attempt < kAsideAttempts; ++attempt) {
    asidePath = joinPath(directory, asideFileName(fileName, first + attempt));
    const Rename rename = renameFile("move old file aside", targetPath, asidePath, 0);
    error = rename.error;
    if (rename.done) return true;
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

// Gone when nothing holds it any longer; kept for a later call otherwise.
void deleteAsideCopy(const std::string& path) {
  const bool deleted = mutateFileSystem("delete aside copy", [&] { return ::DeleteFileA(path.c_str()) != FALSE; });
  logStep("aside copy %s: %s", path.c_str(), deleted ? "deleted" : "still in use, kept for a later call");
}

Placement replaceInUse(const std::string& temporaryPath, const std::string& targetPath, DWORD inUseError) {
  std::string asidePath;
  DWORD asideError = 0;
  if (!moveAside(targetPath, asidePath, asideError)) {
    logStep("%s is in use (error %lu) and cannot be moved aside (error %lu): kept until its holder lets go",
            targetPath.c_str(), static_cast<unsigned long>(inUseError), static_cast<unsigned long>(asideError));
    return Placement::OldInUse;
  }
  const Rename moved = renameFile("move into place", temporaryPath, targetPath, MOVEFILE_REPLACE_EXISTING);
  if (!moved.done) {
    const Rename back = renameFile("move old file back", asidePath, targetPath, 0);
    logStep("%s could not be moved in after its old copy went aside (error %lu); old copy %s",
            targetPath.c_str(), static_cast<unsigned long>(moved.error), back.done ? "renamed back" : "left aside");
    return Placement::Failed;
  }
  logStep("%s was in use (error %lu): old copy moved aside to %s", targetPath.c_str(),
          static_cast<unsigned long>(inUseError), asidePath.c_str());
  deleteAsideCopy(asidePath);
  return Placement::OldSetAside;
}

// Removes, restores or deletes what interrupted calls left in one directory.
void recoverDirectory(const std::string& directory, const std::set<std::string>& recordedPaths) {
  const std::vector<std::string> leftovers = leftoverNamesIn(directory);
  for (const std::string& name : leftovers) {
    if (!isTemporaryFileName(name)) continue;
    const std::string path = joinPath(directory, name);
    mutateFileSystem("remove leftover file", [&] { return ::DeleteFileA(path.c_str()); });
  }
  for (auto& [folded, aside] : asideCopiesIn(leftovers)) {
    const std::string original = joinPath(directory, aside.original);
    auto copy = aside.copies.begin();
    if (!pathExists(original) && recordedPaths.count(foldFileName(original)) > 0) {
      const std::string newest = joinPath(directory, copy->second);
      const Rename back = renameFile("restore aside copy", newest, original, 0);
      logStep("%s was missing with its old copy aside: %s", original.c_str(),
              back.done ? "renamed back" : "could not be renamed back");
      ++copy;
    }
    for (; copy != aside.copies.end(); ++copy) deleteAsideCopy(joinPath(directory, copy->second));
  }
}

}  // namespace

uint32_t uniqueLeftoverNumber(uint32_t attempt) {
  static uint32_t calls = 0;
  return (::GetCurrentProcessId() << 12) ^ (::GetTickCount() << 4) ^ (++calls << 20) ^ attempt;
}

std::string foldFileName(const std::string& name) {
  std::string folded = name;
  if (!folded.empty()) ::CharUpperBuffA(folded.data(), static_cast<DWORD>(folded.size()));
  return folded;
}

bool failedBecauseInUse(unsigned long error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_USER_MAPPED_FILE;
}

Placement moveIntoPlace(const std::string& temporaryPath, const std::string& targetPath) {
  const DWORD attributes = ::GetFileAttributesA(targetPath.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    logStep("%s is a directory: not replaced", targetPath.c_str());
    return Placement::Failed;
  }
  clearBlockingAttributes(targetPath);
  const Rename moved = renameFile("move into place", temporaryPath, targetPath, MOVEFILE_REPLACE_EXISTING);
  if (moved.done) return Placement::Replaced;
  if (!failedBecauseInUse(moved.error)) {
    logStep("%s could not be replaced (error %lu)", targetPath.c_str(), static_cast<unsigned long>(moved.error));
    return Placement::Failed;
  }
  return replaceInUse(temporaryPath, targetPath, moved.error);
}

void recoverLeftoverFiles(const std::string& installPath, const ComponentList& local) {
  std::set<std::string> recordedPaths;
  std::map<std::string, std::string> directories{{foldFileName(installPath), installPath}};
  for (const auto& record : local) {
    const std::string path = installPath + record->file;
    recordedPaths.insert(foldFileName(path));
    const std::string directory = directoryOfPath(path);
    directories.emplace(foldFileName(joinPath(directory, "")), directory);
  }
  for (const auto& [folded, directory] : directories) recoverDirectory(directory, recordedPaths);
}

}  // namespace corvane
