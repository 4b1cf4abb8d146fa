// Putting an extracted file in the place of the installed one: whole and at once, also
// while the old copy is in use; and the clean-up of what an interrupted call left beside
// installed files.
#pragma once

#include <cstdint>
#include <string>

#include "update/component_list.h"

namespace corvane {

// Different for each process and each call; the attempt number steps past a name that
// another write took.
uint32_t uniqueLeftoverNumber(uint32_t attempt);

// A name in the letter case the file system ignores, as the code page folds it.
std::string foldFileName(const std::string& name);

enum class Placement {
  Replaced,     // the new file is in place (there was no old one, or it was replaced)
  OldSetAside,  // the old one was in use: it went aside under a leftover name, the new one is in place
  OldInUse,     // the old one was in use and could not be moved aside: nothing changed
  Failed,       // anything else: nothing changed
};
inline bool isPlaced(Placement placement) {
  return placement == Placement::Replaced || placement == Placement::OldSetAside;
}

// The errors of a replacement that mean the old copy is in use: a loaded library
// (ERROR_ACCESS_DENIED on Windows), a file open without delete sharing
// (ERROR_SHARING_VIOLATION), a mapped file (ERROR_USER_MAPPED_FILE).
bool failedBecauseInUse(unsigned long error);

// Moves a complete, flushed temporary file over targetPath (same directory, so the rename
// is atomic): the target shows the old bytes or the new ones, never a mix. Attributes that
// could stop the replacement are cleared first. When the old copy is in use it is renamed
// aside and the new one moved in; if that fails the old one is renamed back. Unless the
// result is placed, the temporary file is still there for the caller to remove.
Placement moveIntoPlace(const std::string& temporaryPath, const std::string& targetPath);

// Runs first in a call, in the installation directory and each directory that holds a
// recorded file: removes temporary files of interrupted extractions, renames an aside copy
// back when its file is missing but recorded (a call ended between the two renames), and
// deletes the other aside copies that can be deleted (their holders let go).
void recoverLeftoverFiles(const std::string& installPath, const ComponentList& local);

}  // namespace corvane
