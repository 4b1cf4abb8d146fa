// One authenticated download: a session handshake that the component server must pass,
// then the requested file fetched into a new temporary file. The temporary file belongs
// to the caller; the downloader never deletes it.
#pragma once

#include <optional>
#include <string>

#include "transfer/download_rules.h"

namespace corvane {

enum class DownloadResult : int {
  Success = 0,
  SessionOpenFailed = 1,
  TempPathFailed = 2,
  OutOfMemory = 3,
  TempNameFailed = 4,
  UrlComposeFailed = 5,
  OpenUrlFailed = 6,
  FileCreateFailed = 7,
  FileRewindFailed = 8,
  ReadFailed = 9,            // includes a body that ends short of its announced length
  WriteFailed = 10,
  HttpStatusFailed = 11,     // the file request's status is outside 200-299
  BadBaseUrl = 12,
  UnsupportedScheme = 13,
  ConnectFailed = 14,
  HandshakeFailed = 15,
  MalformedReply = 16,
  ServerNotAuthenticated = 17,
  ForeignFileUrl = 18,       // the file name resolves to another scheme, host or port
  RandomSourceFailed = 19,   // no seeded random generator, so no challenge could be made
};

// Scheme, host and port of a URL, parsed as the downloader parses the base URL; nullopt
// when the platform cannot parse it.
std::optional<UrlOrigin> urlOrigin(const char* url);

class Downloader {
 public:
  // Both texts are copied; a null stays null.
  Downloader(const char* baseUrl, const char* authPath);
  virtual ~Downloader();
  Downloader(const Downloader&) = delete;
  Downloader& operator=(const Downloader&) = delete;

  // Never throws. Replaces the stored local file path (see localFile) on every call.
  DownloadResult download(const char* fileName) noexcept;

  // The temporary file of the latest download: null before any download and when the
  // temporary name could not be allocated, empty when no file could be made.
  std::optional<std::string> localFile() const;

 private:
  DownloadResult run(const char* fileName, std::optional<std::string>& temporaryName);

  std::optional<std::string> baseUrl_;
  std::optional<std::string> authPath_;
  std::optional<std::string> localFile_;
};

}  // namespace corvane
