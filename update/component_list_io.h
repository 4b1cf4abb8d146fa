// Component lists read from a file or a URL, and the local list written back.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <string>

#include "component_list.h"
#include "raii.h"

namespace corvane {

// Lines from an open file; read is one ReadFile call, 0 when it fails.
class FileLineSource final : public LineSource {
 public:
  explicit FileLineSource(UniqueHandle file) : file_(std::move(file)) {}

 protected:
  size_t read(char* buffer, size_t count) override;

 private:
  UniqueHandle file_;
};

// Lines from an opened URL; read is one InternetReadFile call. A failed read, or a body
// that grows past maxBodyBytes, ends the input and is remembered in readFailed(), since
// read itself can only return a count.
class UrlLineSource final : public LineSource {
 public:
  static constexpr uint64_t kMaxBodyBytes = 16u * 1024 * 1024;

  UrlLineSource(UniqueInternetHandle session, UniqueInternetHandle url, uint64_t maxBodyBytes = kMaxBodyBytes)
      : session_(std::move(session)), url_(std::move(url)), maxBodyBytes_(maxBodyBytes) {}

  bool readFailed() const { return readFailed_; }
  bool tooLarge() const { return tooLarge_; }
  uint64_t bytesRead() const { return bytesRead_; }

 protected:
  size_t read(char* buffer, size_t count) override;

 private:
  // Declared in this order so that the URL handle is closed before the session.
  UniqueInternetHandle session_;
  UniqueInternetHandle url_;
  uint64_t maxBodyBytes_;
  uint64_t bytesRead_ = 0;
  bool readFailed_ = false;
  bool tooLarge_ = false;
};

// The local list; empty when the file is missing or cannot be opened.
ComponentList readLocalList(const std::string& path);

// The server's catalog. readable is false when the catalog could not be read: the URL
// did not open, the status was outside 200-299, a read failed, the body ended short of
// its Content-Length, or it was larger than 16 MiB. records is empty then. When readable,
// nonBlankLines counts the body's lines with any text, valid or not, so that a page that
// is not a catalog (lines, none valid) can be told from an empty catalog.
struct CatalogRead {
  ComponentList records;
  bool readable = false;
  size_t nonBlankLines = 0;
};
CatalogRead readCatalog(const std::string& url);

// Replaces the list file with the records' lines: the whole content goes to a temporary
// file in the same directory first, which then replaces the list, so an interrupted write
// leaves the old list or the new one, never a part. False (old file untouched) when the
// list cannot be written.
bool writeComponentList(const std::string& path, const ComponentList& list);

}  // namespace corvane
