#include "update/update_driver.h"

#include <windows.h>
#include <shlobj.h>

#include <optional>
#include <set>
#include <vector>

#include "base/diagnostic_log.h"
#include "base/file_removal.h"
#include "base/mutation_points.h"
#include "base/unique_resource.h"
#include "transfer/catalog_fetch.h"
#include "transfer/downloader.h"
#include "transfer/manifest_fetch.h"
#include "trust/install_ledger.h"
#include "update/component_list_io.h"
#include "update/component_outcomes.h"
#include "update/consistency_rules.h"
#include "update/file_placement.h"
#include "update/package_unpacking.h"
#include "update/path_rules.h"
#include "update/update_rules.h"

namespace corvane {
namespace {

constexpr char kLocalListName[] = "components.txt";
constexpr char kCatalogName[] = "cvprobecl.txt";

// An unreadable catalog, or a page with text but no valid line (a proxy's or captive
// portal's answer), says nothing about what the server retired: deleting by it would
// remove every installed component.
bool catalogTrustworthy(const CatalogRead& catalog) {
  return catalog.readable && !(catalog.records.empty() && catalog.nonBlankLines > 0);
}

// Records whose file would lie outside the installation directory, or whose name the
// platform could take for another record's file ("alpha.dll." for "alpha.dll"), are never
// acted on: never installed, never deleted. Leaving a list's out of the in-memory list
// drops them at the next rewrite.
bool dropRecordsWithUnusableNames(ComponentList& records, const char* source, ComponentList* dropped = nullptr) {
  bool any = false;
  for (size_t i = 0; i < records.length();) {
    const ComponentRecord& record = *records.at(i);
    if (isCanonicalFileName(record.file, ::GetACP())) {
      ++i;
      continue;
    }
    logStep("%s record %s ignored: its file name %s is not one plain spelling inside the folder", source,
            record.name.c_str(), record.file.c_str());
    if (dropped) dropped->append(records.at(i));
    records.removeAt(i);
    any = true;
  }
  return any;
}

// The catalog, and in a build that requires one the signed manifest that vouches for its
// bytes and for every package: without an accepted manifest the catalog is unreadable.
struct PublishedCatalog {
  CatalogRead read;
  std::optional<Manifest> manifest;
  ComponentList unplaceable;  // records dropped for their file names, for their outcomes
};

PublishedCatalog readCatalogOfServer(const std::string& baseUrl, const std::optional<ManifestPublicKey>& key) {
  const std::optional<std::string> text = fetchBeside(baseUrl, kCatalogName);
  if (!text) return {};
  PublishedCatalog published;
  if (key) {
    published.manifest = fetchAcceptedManifest(baseUrl, *key, &*text);
    if (!published.manifest) return {};
  }
  published.read = parseCatalogText(*text);
  dropRecordsWithUnusableNames(published.read.records, "catalog", &published.unplaceable);
  return published;
}

// The package's line in the signed manifest; a package without one is not downloaded.
bool packageVouchedFor(const Manifest* manifest, const std::string& package, const ExpectedContent*& expected) {
  expected = nullptr;
  if (!manifest) return true;
  const auto line = manifest->packages.find(package);
  if (line == manifest->packages.end()) {
    logStep("%s is not listed in the signed manifest: not downloaded", package.c_str());
    return false;
  }
  expected = &line->second;
  return true;
}

// The local list file, written only when the records' text differs from what it holds.
class LocalListFile {
 public:
  explicit LocalListFile(std::string path) : path_(std::move(path)), content_(readListText(path_)) {}

  ComponentList records() const {
    if (!content_.held()) return {};
    TextLineSource source(*content_.held());
    return parseComponentLines(source);
  }

  // True when the file shows `list` afterwards.
  bool show(const ComponentList& list) {
    std::optional<std::string> text = content_.textToWrite(list);
    if (!text) return true;
    if (!writeListText(path_, *text)) {
      logStep("%s could not be written (error %lu); it keeps what it held", path_.c_str(), ::GetLastError());
      return false;
    }
    logStep("%s written: %lu records", path_.c_str(), static_cast<unsigned long>(list.length()));
    content_.written(std::move(*text));
    return true;
  }

 private:
  std::string path_;
  ListFileContent content_;
};

// Volume and file index: the same for every name that reaches one file.
struct FileIdentity {
  DWORD volume = 0, indexHigh = 0, indexLow = 0;
  bool operator==(const FileIdentity& other) const {
    return volume == other.volume && indexHigh == other.indexHigh && indexLow == other.indexLow;
  }
};

std::optional<FileIdentity> identityOf(const std::string& path) {
  const UniqueHandle file(::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION information{};
  if (!file || !::GetFileInformationByHandle(file.get(), &information)) return std::nullopt;
  return FileIdentity{information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow};
}

// Whether a record that is not stale reaches the same file by another spelling.
bool liveRecordReaches(const std::string& path, const ComponentList& local, const ComponentList& selection,
                       const std::string& installPath) {
  const std::optional<FileIdentity> stale = identityOf(path);
  if (!stale) return false;
  for (const ComponentList* records : {&local, &selection}) {
    for (const auto& record : *records) {
      if (record->state == Stale) continue;
      if (identityOf(installPath + record->file) == stale) return true;
    }
  }
  return false;
}

// Deletes the file of a stale record that nothing else needs; true when the record goes.
// Only a file the control installed is deleted: a list can be planted, the ledger cannot.
bool deleteStaleFile(const ComponentRecord& record, const std::string& path, const ComponentList& local,
                     const ComponentList& selection, const std::string& installPath) {
  if (!ledgerHolds(path)) {
    logStep("stale %s %s: not installed by this control, record dropped and file left alone", record.name.c_str(),
            path.c_str());
    return true;
  }
  if (liveRecordReaches(path, local, selection, installPath)) {
    logStep("stale %s %s: another record reaches the same file, record dropped and file kept", record.name.c_str(),
            path.c_str());
    return true;
  }
  const DeletionResult result = mutateFileSystem("delete stale file", [&] {
    const bool deleted = ::DeleteFileA(path.c_str()) != FALSE;
    return deletionResultFor(deleted, deleted ? 0 : ::GetLastError());
  });
  // The file is gone: nothing is left for the entry to vouch for.
  if (result != DeletionResult::Refused) forgetInstalledFile(path);
  logStep("stale %s %s: %s", record.name.c_str(), path.c_str(),
          result == DeletionResult::Deleted          ? "deleted"
          : result == DeletionResult::AlreadyMissing ? "already missing, record dropped"
                                                     : "cannot be deleted, record kept");
  return staleRecordGoes(result);
}

// Stale files go before anything is installed, except those that a record still needs.
void removeStaleFiles(ComponentList& local, const ComponentList& selection, const std::string& installPath,
                      LocalListFile& list) {
  for (size_t i = 0; i < local.length();) {
    const ComponentRecord& record = *local.at(i);
    if (record.state != Stale) {
      ++i;
      continue;
    }
    bool goes = false;
    switch (staleStepFor(local, i, selection, installPath, ::GetACP(), foldFileName)) {
      case StaleStep::DeleteFile:
        goes = deleteStaleFile(record, installPath + record.file, local, selection, installPath);
        break;
      case StaleStep::DropRecord:
        logStep("stale %s: record dropped, %s is still needed by another record", record.name.c_str(),
                record.file.c_str());
        goes = true;
        break;
      case StaleStep::AwaitInstallation:
      case StaleStep::Keep:
        break;
    }
    if (goes) {
      local.removeAt(i);
      list.show(local);
    } else {
      ++i;
    }
  }
}

// Whether removing the stale records would delete any file: the first deletion of a call
// waits for the server to pass the handshake.
bool removalDeletesAFile(const ComponentList& local, const ComponentList& selection, const std::string& installPath) {
  for (size_t i = 0; i < local.length(); ++i) {
    if (local.at(i)->state == Stale &&
        staleStepFor(local, i, selection, installPath, ::GetACP(), foldFileName) == StaleStep::DeleteFile &&
        ledgerHolds(installPath + local.at(i)->file)) {
      return true;
    }
  }
  return false;
}

std::vector<int> statesOf(const ComponentList& list) {
  std::vector<int> states;
  for (const auto& record : list) states.push_back(record->state);
  return states;
}

void restoreStates(ComponentList& list, const std::vector<int>& states) {
  for (size_t i = 0; i < list.length() && i < states.size(); ++i) list.at(i)->state = states[i];
}

// A file is put in place only once the list names no stale record for it: were the list
// to keep one, a later call would take the fresh copy for the stale one and delete it.
bool clearStaleRecordsAhead(const ComponentList& local, const std::string& file, LocalListFile& list) {
  ComponentList ahead = local;
  if (dropStaleRecordsNaming(ahead, file, foldFileName) == 0) return true;
  return list.show(ahead);
}

// The file is in place; the ledger comes before the list, so that no record ever names a
// file the control cannot vouch for. Without its entry the install failed: the next call
// that names the component installs it again.
bool recordInLedger(const std::string& path) {
  if (recordInstalledFile(path)) return true;
  logStep("%s could not be recorded as installed by this control; its record is not written", path.c_str());
  return false;
}

// Downloads and unpacks one package; true when the wanted file was written and recorded.
bool installComponent(Downloader& downloader, const Manifest* manifest, const ComponentRecord& record,
                      const std::string& installPath, const ComponentList& local, LocalListFile& list,
                      ComponentOutcomes& outcomes) {
  const ExpectedContent* expected = nullptr;
  if (!packageVouchedFor(manifest, record.package, expected)) {
    outcomes.settle(record.name, JobOutcome::NotVouchedFor, "the signed manifest does not list " + record.package);
    return false;
  }
  const DownloadResult result = downloader.download(record.package.c_str(), kMaxPackageBytes, expected);
  // The package is of no use once unpacked, and a failed one never is.
  const ScopedFileRemoval package(downloader.localFile().value_or(""));
  if (result != DownloadResult::Success || package.path().empty()) {
    if (result == DownloadResult::Success) {
      outcomes.settle(record.name, JobOutcome::NotExtracted, "the downloaded " + record.package + " could not be found");
    } else {
      outcomes.settle(record.name, static_cast<int>(result), downloadFailureDetail(record.package, result));
    }
    return false;
  }
  if (!clearStaleRecordsAhead(local, record.file, list)) {
    outcomes.settle(record.name, JobOutcome::ListNotWritten, "components.txt could not be written");
    return false;
  }
  CabinetFileFilter filter(installPath, record.file);
  const bool extracted = extractComponentFile(package.path(), filter);
  // The extracted copy goes unless it becomes the installed file.
  ScopedFileRemoval temporary(filter.temporaryPath());
  if (!extracted) {
    logStep("%s from %s: not extracted", record.file.c_str(), record.package.c_str());
    outcomes.settle(record.name, JobOutcome::NotExtracted, record.package + " holds no whole file " + record.file);
    return false;
  }
  const Placement placement = moveIntoPlace(temporary.path(), filter.targetPath());
  if (isPlaced(placement)) temporary.keep();
  logStep("%s from %s: %s", record.file.c_str(), record.package.c_str(),
          isPlaced(placement)                    ? "extracted and moved into place"
          : placement == Placement::OldInUse ? "not installed, the old copy is in use"
                                             : "not installed, the old copy could not be replaced");
  if (!isPlaced(placement)) {
    outcomes.settle(record.name, JobOutcome::NotPlaced,
                    placement == Placement::OldInUse ? "the old copy of " + record.file + " is in use"
                                                     : "the old copy of " + record.file + " could not be replaced");
    return false;
  }
  if (!recordInLedger(filter.targetPath())) {
    outcomes.settle(record.name, JobOutcome::NotPlaced, record.file + " could not be recorded as installed");
    return false;
  }
  outcomes.expect(record.name, JobOutcome::Done, "installed " + record.file + " at " + versionText(record));
  return true;
}

// The library's own imports come from its folder and the system folder only: never from
// the host's folder or the current directory, where anyone may have put a namesake.
HMODULE loadInstalledLibrary(const std::string& path) {
  HMODULE library =
      ::LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  // Windows 7 without the update that brought these flags rejects them. The process-wide
  // SetDefaultDllDirectories is no option: the host owns its search path.
  if (library == nullptr && ::GetLastError() == ERROR_INVALID_PARAMETER) {
    library = ::LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }
  return library;
}

// Why a library could not be loaded, in the words an operator needs for the usual causes.
const char* loadFailureText(DWORD error) {
  switch (error) {
    case ERROR_BAD_EXE_FORMAT: return "not a valid image for this process";
    case ERROR_MOD_NOT_FOUND: return "it or a library it needs was not found";
    case ERROR_DLL_INIT_FAILED: return "its initialisation failed";
    default: return "see the error number";
  }
}

// A library this process already holds under the path (the host uses it, or it pinned
// itself): loading the path again gives back that image, whatever file lies there now.
bool alreadyLoadedHere(const std::string& path) {
  HMODULE loaded = nullptr;
  return ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, path.c_str(), &loaded) && loaded;
}

bool callRegisterEntry(const std::string& path) {
  UniqueModule library(loadInstalledLibrary(path));
  if (!library) {
    const DWORD error = ::GetLastError();
    logStep("could not load library %s (error %lu: %s); its record is dropped", path.c_str(), error,
            loadFailureText(error));
    return false;
  }
  using RegisterEntry = HRESULT(STDAPICALLTYPE*)();
  // Through a generic function pointer: the export's real type is known only by convention.
  const auto entry = reinterpret_cast<RegisterEntry>(
      reinterpret_cast<void (*)()>(::GetProcAddress(library.get(), "DllRegisterServer")));
  if (entry == nullptr) {
    logStep("%s has no DllRegisterServer; its record is dropped", path.c_str());
    return false;
  }
  const HRESULT result = entry();
  if (result != 0) {
    logStep("DllRegisterServer of %s returned 0x%08lX; its record is dropped", path.c_str(),
            static_cast<unsigned long>(result));
    return false;
  }
  logStep("registered %s", path.c_str());
  return true;
}

enum class Registration { Registered, Failed, NotVouched };

Registration registerLibrary(const std::string& path, bool replacedThisCall) {
  // The old copy's DllRegisterServer would run in place of the new one's.
  if (replacedThisCall && alreadyLoadedHere(path)) {
    logStep("the old copy of %s stays loaded in this process; the new copy is registered by the first call "
            "from a process without it, and its record is dropped until then",
            path.c_str());
    return Registration::Failed;
  }
  // Held with read sharing only from the hash through the load: nothing can swap the bytes.
  const HeldFile held = holdIfVouched(path);
  if (held.vouching == Vouching::NotReadable) {
    // As a library that does not load: gone or unreadable, the next call installs it again.
    logStep("library %s %s; its record is dropped", path.c_str(), vouchingText(held.vouching));
    return Registration::Failed;
  }
  if (held.vouching != Vouching::Vouched) {
    logStep("library %s not loaded: %s; its record is kept", path.c_str(), vouchingText(held.vouching));
    return Registration::NotVouched;
  }
  return callRegisterEntry(path) ? Registration::Registered : Registration::Failed;
}

// Why a library's record did not lead to a registration, for its component's outcome.
const char* registrationFailureText(Registration registration) {
  return registration == Registration::NotVouched
             ? " was not loaded: this control did not install it, or it changed since"
             : " did not load or register";
}

void registerLibraries(ComponentList& local, const std::string& installPath, const std::set<std::string>& placed,
                       LocalListFile& list, ComponentOutcomes& outcomes) {
  // After the first step the records' text changes only when one goes, so it is compared
  // with the file only then: formatting the whole list after every step would make a call
  // quadratic in the number of components.
  bool shown = false;
  for (size_t i = 0; i < local.length();) {
    const auto& record = local.at(i);
    // A library whose path passes the platform limit is kept as it is, not loaded.
    if (record->kind == SelfRegistering && installedPathUsable(installPath, record->file, ::GetACP())) {
      const std::string path = installPath + record->file;
      const Registration registration = registerLibrary(path, placed.count(foldFileName(path)) > 0);
      if (registration != Registration::Registered) {
        outcomes.settle(record->name, JobOutcome::NotRegistered, record->file + registrationFailureText(registration));
      }
      if (registration == Registration::Failed) {
        // The file stays; without its line the next call that names it installs it again.
        local.removeAt(i);
        list.show(local);
        shown = true;
        continue;
      }
    }
    if (!shown) list.show(local);
    shown = true;
    ++i;
  }
}

// selectComponents passes these over; the operator learns why a component never comes.
void logRecordsBeyondThePathLimit(const ComponentList& catalog, const std::string& installPath) {
  for (const auto& record : catalog) {
    if (!installedPathUsable(installPath, record->file, ::GetACP())) {
      logStep("catalog record %s not chosen: %s%s would not fit the path limit", record->name.c_str(),
              installPath.c_str(), record->file.c_str());
    }
  }
}

void prepareFolder(const std::string& installPath, const std::string& listPath) {
  createDirectoryChain(installPath);
  removeLeftoverTemporaryLists(listPath);
}

// Fills `outcome` as it goes, so that a step that throws still leaves what was decided.
void update(const UpdateRequest& request, UpdateOutcome& outcome, ComponentOutcomes& outcomes) {
  char programFiles[MAX_PATH + 1] = {};
  if (!::SHGetSpecialFolderPathA(nullptr, programFiles, CSIDL_PROGRAM_FILES, FALSE)) {
    outcome.status = UpdateStatus::ProgramFilesUnknown;
    return;
  }
  const std::string installPath = expandInstallPath(request.installPath.value_or(""), programFiles);
  // A share, a device, a relative or an empty path would let the page choose where lists
  // are read and libraries loaded from: nothing is made, read or loaded for it.
  outcome.refusalRule = installPathProblem(installPath, ::GetACP());
  if (!outcome.refusalRule.empty()) {
    outcome.status = UpdateStatus::InstallPathNotAllowed;
    return;
  }
  // A folder whose list could never be written would get files no list records.
  if (!installPathLeavesRoom(installPath, kLocalListName)) {
    outcome.refusalRule = "a path too long: it leaves no room for the list's temporary name within the path limit";
    outcome.status = UpdateStatus::InstallPathNotAllowed;
    return;
  }
  PublishedCatalog published = readCatalogOfServer(request.baseUrl.value_or(""), request.manifestKey);
  CatalogRead& catalog = published.read;
  const Manifest* manifest = published.manifest ? &*published.manifest : nullptr;
  bool trustworthy = catalogTrustworthy(catalog);
  logStep("catalog %s: %s, %lu records", kCatalogName, trustworthy ? "read" : "unreadable",
          static_cast<unsigned long>(catalog.records.length()));

  const std::string listPath = installPath + kLocalListName;
  // A folder is made, and leftovers removed, only for a catalog worth acting on: a call
  // whose catalog cannot be read changes nothing on disk.
  if (trustworthy) prepareFolder(installPath, listPath);
  LocalListFile list(listPath);
  ComponentList local = list.records();
  const bool listNeedsRewrite = dropRecordsWithUnusableNames(local, "list");
  // What an interrupted call left beside installed files is cleared up by the same rule.
  if (trustworthy) recoverLeftoverFiles(installPath, local);
  Downloader downloader(request.baseUrl ? request.baseUrl->c_str() : nullptr,
                        request.authPath ? request.authPath->c_str() : nullptr);
  const std::vector<int> statesBefore = statesOf(local);
  if (trustworthy) markLocalRecords(local, catalog.records);
  const std::string* names = request.componentNames ? &*request.componentNames : nullptr;
  ComponentList selection;
  if (trustworthy) {
    logRecordsBeyondThePathLimit(catalog.records, installPath);
    selection = selectComponents(splitComponentNames(names), catalog.records, installPath, ::GetACP());
  }
  // The catalog came unauthenticated, and an empty or bumped one from anyone would
  // otherwise retire the installation: before the first deletion the server must pass the
  // handshake, or the catalog counts as unreadable for this call.
  if (trustworthy && removalDeletesAFile(local, selection, installPath)) {
    const DownloadResult proof = downloader.authenticateServer();
    logStep("handshake before deleting stale files: %s", downloadResultName(proof));
    if (proof != DownloadResult::Success) {
      outcomes.settleOpen(static_cast<int>(proof), "the server failed the handshake made before deleting stale files (" +
                                                      std::string(downloadResultName(proof)) + ")");
      trustworthy = false;
      restoreStates(local, statesBefore);
      selection = ComponentList();
    }
  }
  outcome.choseComponents = !selection.empty();
  if (trustworthy) {
    outcomes.tellUnchosen(catalog.records, selection, published.unplaceable);
  } else {
    outcomes.settleOpen(JobOutcome::CatalogUnreadable, "the catalog could not be read, or not trusted");
  }
  if (trustworthy) removeStaleFiles(local, selection, installPath, list);
  std::set<std::string> placed;  // folded paths of the files this call put in place
  for (size_t i = 0; i < selection.length(); ++i) {
    const auto& chosen = selection.at(i);
    std::optional<NamedProgress> progress;
    if (request.events) progress.emplace(*request.events, chosen->name);
    downloader.reportProgressTo(progress ? &*progress : nullptr);
    if (!installComponent(downloader, manifest, *chosen, installPath, local, list, outcomes)) continue;
    placed.insert(foldFileName(installPath + chosen->file));
    // The stale copies this one replaces are gone now; their records go with them.
    dropStaleRecordsNaming(local, chosen->file, foldFileName);
    local.append(chosen);
  }

  if (local.empty()) {
    if (listNeedsRewrite) list.show(local);
  } else {
    registerLibraries(local, installPath, placed, list, outcomes);
  }
}

}  // namespace

UpdateOutcome runUpdate(const UpdateRequest& request) noexcept {
  UpdateOutcome outcome;
  try {
    ComponentOutcomes outcomes(request.events,
                               splitComponentNames(request.componentNames ? &*request.componentNames : nullptr));
    try {
      update(request, outcome, outcomes);
    } catch (...) {
      // Ends the job like a failed step; what was chosen before still counts.
    }
    if (outcome.status == UpdateStatus::Completed) outcomes.finish();
  } catch (...) {
    // Only the outcomes' own memory: the job has run.
  }
  return outcome;
}

}  // namespace corvane
