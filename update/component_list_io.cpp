#include "update/component_list_io.h"

#include <algorithm>
#include <optional>

#include "base/file_removal.h"
#include "transfer/catalog_fetch.h"

namespace corvane {
namespace {

std::string directoryOf(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return ".";
  if (slash == 0 || (slash == 2 && path[1] == ':')) return path.substr(0, slash + 1);  // a root
  return path.substr(0, slash);
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

size_t FileLineSource::read(char* buffer, size_t count) {
  DWORD got = 0;
  if (!::ReadFile(file_.get(), buffer, static_cast<DWORD>(count), &got, nullptr)) return 0;
  return got;
}

ComponentList readLocalList(const std::string& path) {
  UniqueHandle file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return {};
  FileLineSource source(std::move(file));
  return parseComponentLines(source);
}

CatalogRead readCatalog(const std::string& url) {
  CatalogRead result;
  const std::optional<std::string> text = fetchCatalogText(url);
  if (!text) return result;
  TextLineSource source(*text);
  result.records = parseComponentLines(source, result.nonBlankLines);
  result.readable = true;
  return result;
}

bool writeComponentList(const std::string& path, const ComponentList& list) {
  std::string content;
  for (const auto& record : list) content += formatComponentLine(*record);

  char temporaryName[MAX_PATH] = {};
  if (!::GetTempFileNameA(directoryOf(path).c_str(), "cvl", 0, temporaryName)) return false;
  ScopedFileRemoval temporary(temporaryName);
  {
    UniqueHandle file(::CreateFileA(temporary.path().c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    if (!writeAll(file.get(), content) || !::FlushFileBuffers(file.get())) return false;
  }
  if (!::MoveFileExA(temporary.path().c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return false;
  temporary.keep();
  return true;
}

}  // namespace corvane
