#include "update/update_driver.h"

#include <windows.h>
#include <shlobj.h>

#include "update/component_list_io.h"
#include "transfer/downloader.h"
#include "update/package_unpacking.h"
#include "update/path_rules.h"
#include "base/file_removal.h"
#include "base/mutation_points.h"
#include "base/unique_resource.h"
#include "update/consistency_rules.h"
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

// Records whose file would lie outside the installation directory are never acted on;
// leaving them out of the in-memory list drops them at the next rewrite.
bool dropRecordsOutsideTheDirectory(ComponentList& local) {
  bool dropped = false;
  for (size_t i = 0; i < local.length();) {
    if (isSafeRelativeName(local.at(i)->file)) {
      ++i;
    } else {
      local.removeAt(i);
      dropped = true;
    }
  }
  return dropped;
}

std::string foldFileName(const std::string& name) {
  std::string folded = name;
  // The code page's letter case, as the cabinet filter and the file system see names.
  if (!folded.empty()) ::CharUpperBuffA(folded.data(), static_cast<DWORD>(folded.size()));
  return folded;
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
    if (!writeListText(path_, *text)) return false;
    content_.written(std::move(*text));
    return true;
  }

 private:
  std::string path_;
  ListFileContent content_;
};

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
    switch (staleStepFor(local, i, selection, installPath, foldFileName)) {
      case StaleStep::DeleteFile: {
        const std::string path = installPath + record.file;
        const DeletionResult result = mutateFileSystem("delete stale file", [&] {
          const bool deleted = ::DeleteFileA(path.c_str()) != FALSE;
          return deletionResultFor(deleted, deleted ? 0 : ::GetLastError());
        });
        goes = staleRecordGoes(result);
        break;
      }
      case StaleStep::DropRecord:
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

// A file is put in place only once the list names no stale record for it: were the list
// to keep one, a later call would take the fresh copy for the stale one and delete it.
bool clearStaleRecordsAhead(const ComponentList& local, const std::string& file, LocalListFile& list) {
  ComponentList ahead = local;
  if (dropStaleRecordsNaming(ahead, file, foldFileName) == 0) return true;
  return list.show(ahead);
}

// Downloads and unpacks one package; true when the wanted file was written.
bool installComponent(Downloader& downloader, const ComponentRecord& record, const std::string& installPath,
                      const ComponentList& local, LocalListFile& list) {
  const DownloadResult result = downloader.download(record.package.c_str());
  // The package is of no use once unpacked, and a failed one never is.
  const ScopedFileRemoval package(downloader.localFile().value_or(""));
  if (result != DownloadResult::Success || package.path().empty()) return false;
  if (!clearStaleRecordsAhead(local, record.file, list)) return false;
  CabinetFileFilter filter(installPath, record.file);
  extractComponentFile(package.path(), filter);
  return filter.extractedWantedFile();
}

bool registerLibrary(const std::string& path) {
  UniqueModule library(::LoadLibraryA(path.c_str()));
  if (!library) return false;
  using RegisterEntry = HRESULT(STDAPICALLTYPE*)();
  // Through a generic function pointer: the export's real type is known only by convention.
  const auto entry = reinterpret_cast<RegisterEntry>(
      reinterpret_cast<void (*)()>(::GetProcAddress(library.get(), "DllRegisterServer")));
  if (entry == nullptr) return false;
  return entry() == 0;
}

void registerLibraries(ComponentList& local, const std::string& installPath, LocalListFile& list) {
  // After the first step the records' text changes only when one goes, so it is compared
  // with the file only then: formatting the whole list after every step would make a call
  // quadratic in the number of components.
  bool shown = false;
  for (size_t i = 0; i < local.length();) {
    const auto& record = local.at(i);
    // A library whose path passes the platform limit is kept as it is, not loaded.
    if (record->kind == SelfRegistering && installedPathUsable(installPath, record->file) &&
        !registerLibrary(installPath + record->file)) {
      // The file stays; without its line the next call that names it installs it again.
      local.removeAt(i);
      list.show(local);
      shown = true;
      continue;
    }
    if (!shown) list.show(local);
    shown = true;
    ++i;
  }
}

// Fills `outcome` as it goes, so that a step that throws still leaves what was decided.
void update(const UpdateRequest& request, UpdateOutcome& outcome) {
  char programFiles[MAX_PATH + 1] = {};
  if (!::SHGetSpecialFolderPathA(nullptr, programFiles, CSIDL_PROGRAM_FILES, FALSE)) {
    outcome.status = UpdateStatus::ProgramFilesUnknown;
    return;
  }
  const std::string installPath = expandInstallPath(request.installPath.value_or(""), programFiles);
  createDirectoryChain(installPath);

  const std::string listPath = installPath + kLocalListName;
  removeLeftoverTemporaryLists(listPath);
  LocalListFile list(listPath);
  ComponentList local = list.records();
  CatalogRead catalog = readCatalog(request.baseUrl.value_or("") + kCatalogName);
  const bool listNeedsRewrite = dropRecordsOutsideTheDirectory(local);

  const bool trustworthy = catalogTrustworthy(catalog);
  if (trustworthy) {
    markLocalRecords(local, catalog.records);
  } else {
    catalog.records = ComponentList();
  }
  const std::string* names = request.componentNames ? &*request.componentNames : nullptr;
  ComponentList selection = selectComponents(splitComponentNames(names), catalog.records, installPath);
  outcome.choseComponents = !selection.empty();
  if (trustworthy) removeStaleFiles(local, selection, installPath, list);

  Downloader downloader(request.baseUrl ? request.baseUrl->c_str() : nullptr,
                        request.authPath ? request.authPath->c_str() : nullptr);
  for (size_t i = 0; i < selection.length(); ++i) {
    const auto& chosen = selection.at(i);
    if (!installComponent(downloader, *chosen, installPath, local, list)) continue;
    // The stale copies this one replaces are gone now; their records go with them.
    dropStaleRecordsNaming(local, chosen->file, foldFileName);
    local.append(chosen);
  }

  if (local.empty()) {
    if (listNeedsRewrite) list.show(local);
  } else {
    registerLibraries(local, installPath, list);
  }
}

}  // namespace

UpdateOutcome runUpdate(const UpdateRequest& request) noexcept {
  UpdateOutcome outcome;
  try {
    update(request, outcome);
  } catch (...) {
    // Ends the job like a failed step; what was chosen before still counts.
  }
  return outcome;
}

}  // namespace corvane
