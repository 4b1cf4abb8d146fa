#include "component_list_io.h"

#include <algorithm>
#include <cstdlib>
#include <optional>

namespace corvane {
namespace {

constexpr char kUserAgent[] = "VIZudavezav";
// No cached copy is used or kept: a cached catalog could hide a newer version.
constexpr DWORD kCatalogRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;

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

DWORD httpStatus(HINTERNET request) {
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!::HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr)) return 0;
  return status;
}

// The announced body length, when there is one that reads as a number.
std::optional<uint64_t> contentLength(HINTERNET request) {
  char text[32] = {};
  DWORD size = sizeof text;
  if (!::HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr)) return std::nullopt;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0') return std::nullopt;
  return value;
}

}  // namespace

size_t FileLineSource::read(char* buffer, size_t count) {
  DWORD got = 0;
  if (!::ReadFile(file_.get(), buffer, static_cast<DWORD>(count), &got, nullptr)) return 0;
  return got;
}

size_t UrlLineSource::read(char* buffer, size_t count) {
  if (readFailed_ || tooLarge_) return 0;
  DWORD got = 0;
  if (!::InternetReadFile(url_.get(), buffer, static_cast<DWORD>(count), &got)) {
    readFailed_ = true;
    return 0;
  }
  bytesRead_ += got;
  if (bytesRead_ > maxBodyBytes_) {
    // The catalog comes from an unauthenticated request: reading stops here.
    tooLarge_ = true;
    return 0;
  }
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
  UniqueInternetHandle session(::InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!session) return result;
  UniqueInternetHandle request(::InternetOpenUrlA(session.get(), url.c_str(), "", 0, kCatalogRequestFlags, 0));
  if (!request) return result;

  // An error page is not a catalog, and a status that cannot be read is no success.
  const DWORD status = httpStatus(request.get());
  if (status < 200 || status > 299) return result;
  const std::optional<uint64_t> announced = contentLength(request.get());
  if (announced && *announced > UrlLineSource::kMaxBodyBytes) return result;

  UrlLineSource source(std::move(session), std::move(request));
  size_t nonBlankLines = 0;
  ComponentList records = parseComponentLines(source, nonBlankLines);
  if (source.readFailed() || source.tooLarge()) return result;
  // WinINet can report a connection closed early as a normal end of the body.
  if (announced && source.bytesRead() != *announced) return result;

  result.records = std::move(records);
  result.readable = true;
  result.nonBlankLines = nonBlankLines;
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
