#include "update/update_driver.h"

#include <windows.h>
#include <shlobj.h>

#include <vector>

#include "update/component_list_io.h"
#include "transfer/downloader.h"
#include "transfer/http_request.h"
#include "update/package_unpacking.h"
#include "update/path_rules.h"
#include "base/file_removal.h"
#include "base/unique_resource.h"
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
    if (isSafeRelativeName(local.at(i)->file, ::GetACP())) {
      ++i;
    } else {
      local.removeAt(i);
      dropped = true;
    }
  }
  return dropped;
}

// The catalog's URL is BaseURL with the catalog's name appended; a BaseURL that does not
// end in a folder could make that name part of another host or port.
CatalogRead readCatalogOfServer(const std::string& baseUrl) {
  const std::string url = baseUrl + kCatalogName;
  const std::optional<UrlOrigin> server = urlOrigin(baseUrl.c_str());
  const std::optional<UrlOrigin> catalogServer = urlOrigin(url.c_str());
  if (!server || !catalogServer || !sameOrigin(*server, *catalogServer)) return CatalogRead();
  return readCatalog(url);
}

bool deletesSomething(const ComponentList& local, const std::string& installPath) {
  for (const auto& record : local) {
    if (record->state == Stale && installedPathUsable(installPath, record->file, ::GetACP())) return true;
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

// Marks the local records against the catalog. Before the first deletion the server must
// pass the handshake: the catalog came unauthenticated, and an empty or bumped one from
// anyone would otherwise retire the installation. False when it fails; the marks are
// then undone, as if the catalog had not been read.
bool markAgainstAuthenticatedCatalog(ComponentList& local, ComponentList& catalog, const std::string& installPath,
                                     Downloader& downloader) {
  const std::vector<int> statesBefore = statesOf(local);
  markLocalRecords(local, catalog);
  if (!deletesSomething(local, installPath) || downloader.authenticateServer() == DownloadResult::Success) return true;
  restoreStates(local, statesBefore);
  return false;
}

void removeStaleFiles(ComponentList& local, const std::string& installPath, const std::string& listPath) {
  for (size_t i = 0; i < local.length();) {
    const auto& record = local.at(i);
    // A path past the platform limit is left alone rather than cut into another path.
    if (record->state == Stale && installedPathUsable(installPath, record->file, ::GetACP()) &&
        ::DeleteFileA((installPath + record->file).c_str())) {
      local.removeAt(i);
      writeComponentList(listPath, local);
    } else {
      ++i;
    }
  }
}

// Downloads and unpacks one package; true when the wanted file was written.
bool installComponent(Downloader& downloader, const ComponentRecord& record, const std::string& installPath) {
  const DownloadResult result = downloader.download(record.package.c_str());
  // The package is of no use once unpacked, and a failed one never is.
  const ScopedFileRemoval package(downloader.localFile().value_or(""));
  if (result != DownloadResult::Success || package.path().empty()) return false;
  CabinetFileFilter filter(installPath, record.file);
  extractComponentFile(package.path(), filter);
  return filter.extractedWantedFile();
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

bool registerLibrary(const std::string& path) {
  UniqueModule library(loadInstalledLibrary(path));
  if (!library) return false;
  using RegisterEntry = HRESULT(STDAPICALLTYPE*)();
  // Through a generic function pointer: the export's real type is known only by convention.
  const auto entry = reinterpret_cast<RegisterEntry>(
      reinterpret_cast<void (*)()>(::GetProcAddress(library.get(), "DllRegisterServer")));
  if (entry == nullptr) return false;
  return entry() == 0;
}

void registerLibraries(ComponentList& local, const std::string& installPath, const std::string& listPath) {
  for (size_t i = 0; i < local.length();) {
    const auto& record = local.at(i);
    // A library whose path passes the platform limit is kept as it is, not loaded.
    if (record->kind == SelfRegistering && installedPathUsable(installPath, record->file, ::GetACP()) &&
        !registerLibrary(installPath + record->file)) {
      // The file stays; without its line the next call that names it installs it again.
      local.removeAt(i);
      writeComponentList(listPath, local);
      continue;
    }
    writeComponentList(listPath, local);
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
  // A share, a device, a relative or an empty path would let the page choose where lists
  // are read and libraries loaded from: nothing is made, read or loaded for it.
  if (!isAllowedInstallPath(installPath, ::GetACP())) {
    outcome.status = UpdateStatus::InstallPathNotAllowed;
    return;
  }
  createDirectoryChain(installPath);

  const std::string listPath = installPath + kLocalListName;
  ComponentList local = readLocalList(listPath);
  CatalogRead catalog = readCatalogOfServer(request.baseUrl.value_or(""));
  const bool listNeedsRewrite = dropRecordsOutsideTheDirectory(local);
  Downloader downloader(request.baseUrl ? request.baseUrl->c_str() : nullptr,
                        request.authPath ? request.authPath->c_str() : nullptr);

  if (catalogTrustworthy(catalog) && markAgainstAuthenticatedCatalog(local, catalog.records, installPath, downloader)) {
    removeStaleFiles(local, installPath, listPath);
  } else {
    catalog.records = ComponentList();
  }

  const std::string* names = request.componentNames ? &*request.componentNames : nullptr;
  ComponentList selection = selectComponents(splitComponentNames(names), catalog.records, installPath, ::GetACP());
  outcome.choseComponents = !selection.empty();
  for (size_t i = 0; i < selection.length(); ++i) {
    if (installComponent(downloader, *selection.at(i), installPath)) local.append(selection.at(i));
  }

  if (local.empty()) {
    if (listNeedsRewrite) writeComponentList(listPath, local);
  } else {
    registerLibraries(local, installPath, listPath);
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
