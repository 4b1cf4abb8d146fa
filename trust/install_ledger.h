// What the control itself put in place: for every file it moved into an installation
// folder, the file's full path (letter case folded) and the size and SHA-256 of the bytes
// it wrote. Kept in the registry, which a page cannot write, so that a list and a library
// planted in a folder the page names are inert: only files the ledger vouches for are
// loaded, and only files it knows are deleted.
//
// Each Windows user has a ledger under HKCU; where the process may write HKLM (an
// administrator's call), the machine's ledger takes the record too, so that the other
// users of a shared folder meet files vouched for. Either ledger vouches.
#pragma once

#include <windows.h>

#include <string>

#include "base/unique_resource.h"

namespace corvane {

// Records `path` with the bytes it holds now. False when the user's ledger could not take
// the record (the machine's is best effort): the file then counts as not installed.
bool recordInstalledFile(const std::string& path);

// Whether either ledger holds `path`, whatever its bytes are now.
bool ledgerHolds(const std::string& path);

// Removes `path` from both ledgers, once the control has deleted the file.
void forgetInstalledFile(const std::string& path);

enum class Vouching {
  Vouched,
  NotInstalled,  // no ledger holds the path
  Changed,       // held, but the bytes are not the ones recorded
  NotReadable,   // the file cannot be opened or read as the check needs
};
// The words the diagnostic log gives a refusal.
const char* vouchingText(Vouching vouching) noexcept;

// A file held open for reading with only read sharing (no write, no delete), from the
// hash until the holder goes, so that what is loaded is what was hashed.
struct HeldFile {
  UniqueHandle handle;
  Vouching vouching = Vouching::NotReadable;
};
HeldFile holdIfVouched(const std::string& path);

}  // namespace corvane
