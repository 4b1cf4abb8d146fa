#include "update/component_list_io.h"

#include <windows.h>

#include <algorithm>
#include <optional>

#include "base/file_removal.h"
#include "base/mutation_points.h"
#include "base/unique_resource.h"
#include "transfer/catalog_fetch.h"
#include "update/consistency_rules.h"
#include "update/file_placement.h"
#include "update/path_rules.h"

namespace corvane {
namespace {

// A new file of our temporary-list form beside the list; never one that exists already.
UniqueHandle createTemporaryBeside(const std::string& directory, const std::string& listName, std::string& path) {
  for (uint32_t attempt = 0; attempt < 16; ++attempt) {
    path = joinPath(directory, temporaryListName(listName, uniqueLeftoverNumber(attempt)));
    UniqueHandle file(::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file || ::GetLastError() != ERROR_FILE_EXISTS) return file;
  }
  return UniqueHandle();
}

bool writeAll(HANDLE file, const std::string& bytes) {
  size_t offset = 0;
  while (offset < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - offset, 1u << 20));
    DWORD written = 0;
    if (!::WriteFile(file, bytes.data() + offset, chunk, &written, nullptr) || written == 0) return false;
    offset += written;
  }
  return true;
}

}  // namespace

std::optional<std::string> readListText(const std::string& path) {
  UniqueHandle file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  std::string text;
  char buffer[4096];
  for (;;) {
    DWORD got = 0;
    // A read that fails ends the input; what came before still counts, as with any source.
    if (!::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) || got == 0) break;
    text.append(buffer, got);
  }
  return text;
}

ComponentList readLocalList(const std::string& path) {
  const std::optional<std::string> text = readListText(path);
  if (!text) return {};
  TextLineSource source(*text);
  return parseComponentLines(source);
}

CatalogRead readCatalog(const std::string& url) {
  const std::optional<std::string> text = fetchCatalogText(url);
  return text ? parseCatalogText(*text) : CatalogRead();
}

CatalogRead parseCatalogText(const std::string& text) {
  CatalogRead result;
  TextLineSource source(text);
  result.records = parseComponentLines(source, result.nonBlankLines);
  result.readable = true;
  return result;
}

bool writeListText(const std::string& path, const std::string& text) {
  const std::string directory = directoryOfPath(path);
  const std::string listName = fileNameOfPath(path);
  std::string temporaryPath;
  bool created = false;
  // Creating and writing the temporary copy is one step: a kill in between leaves a
  // leftover, which the next call removes.
  const bool written = mutateFileSystem("write temporary list", [&] {
    const UniqueHandle file = createTemporaryBeside(directory, listName, temporaryPath);
    if (!file) return false;
    created = true;
    return writeAll(file.get(), text) && ::FlushFileBuffers(file.get());
  });
  // Gone again unless it becomes the list.
  ScopedFileRemoval temporary(created ? temporaryPath : std::string());
  if (!written) return false;
  const bool replaced = mutateFileSystem("replace list", [&] {
    return ::MoveFileExA(temporaryPath.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  });
  if (!replaced) return false;
  temporary.keep();
  return true;
}

bool writeComponentList(const std::string& path, const ComponentList& list) {
  return writeListText(path, componentListText(list));
}

void removeLeftoverTemporaryLists(const std::string& listPath) {
  const std::string directory = directoryOfPath(listPath);
  const std::string listName = fileNameOfPath(listPath);
  WIN32_FIND_DATAA entry;
  UniqueFindHandle search(::FindFirstFileA(joinPath(directory, temporaryListPattern(listName)).c_str(), &entry));
  if (!search) return;
  do {
    // The pattern may also match short names; only our own long form counts.
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !isTemporaryListName(listName, entry.cFileName)) {
      continue;
    }
    const std::string leftover = joinPath(directory, entry.cFileName);
    mutateFileSystem("remove leftover list", [&] { return ::DeleteFileA(leftover.c_str()); });
  } while (::FindNextFileA(search.get(), &entry));
}

}  // namespace corvane
