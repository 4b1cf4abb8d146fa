// One authenticated download: a session handshake that the component server must pass,
// then the requested file fetched into a new temporary file. The temporary file belongs
// to the caller; the downloader never deletes it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/job_events.h"
#include "transfer/download_rules.h"
#include "trust/signed_manifest.h"

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
  ReadFailed = 9,            // includes a body that ends short of its announced length and a
                             // server that stopped sending for the receive time-out or
                             // sent less than 1 KiB in a whole speed window
  WriteFailed = 10,
  HttpStatusFailed = 11,     // the file request's status is outside 200-299, or it redirected
                             // off the server, without a location or past the hop limit
  BadBaseUrl = 12,
  UnsupportedScheme = 13,
  ConnectFailed = 14,
  HandshakeFailed = 15,      // includes a handshake answer with a status other than 2xx
  MalformedReply = 16,
  ServerNotAuthenticated = 17,
  ForeignFileUrl = 18,       // the file name resolves to another scheme, host or port
  RandomSourceFailed = 19,   // no seeded random generator, so no challenge could be made
  TooLarge = 20,             // the announced length exceeds the caller's limit: nothing fetched
  BodyTooLarge = 21,         // a body without an announced length ran past the limit
  NotAsSigned = 22,          // the body's size or SHA-256 is not what the signed manifest lists
};

// The name of a result as the enum spells it, for the diagnostic log.
const char* downloadResultName(DownloadResult result) noexcept;

// A short sentence for a caller: what failed in the download of `what`, and the result's name.
std::string downloadFailureDetail(const std::string& what, DownloadResult result);

// What the diagnostic log tells of a download besides its result: the HTTP statuses of the
// handshake and the file request (0: none was read) and the bytes written.
struct DownloadTrace {
  unsigned long handshakeStatus = 0;
  unsigned long fileStatus = 0;
  uint64_t bytes = 0;
  unsigned long error = 0;  // the platform's error of a connection, request or read that failed
};

class Downloader {
 public:
  // Both texts are copied; a null stays null.
  Downloader(const char* baseUrl, const char* authPath);
  virtual ~Downloader();
  Downloader(const Downloader&) = delete;
  Downloader& operator=(const Downloader&) = delete;

  // Never throws. Replaces the stored local file path (see localFile) on every call. A
  // body larger than maxBytes is not fetched, or stops there and fails. With `expected`,
  // the body is hashed as it streams and succeeds only when it is exactly that content.
  DownloadResult download(const char* fileName, uint64_t maxBytes = kMaxPackageBytes,
                          const ExpectedContent* expected = nullptr) noexcept;

  // The session handshake alone, made exactly as download makes it, for a caller that
  // must know the server before acting on what it published. Never throws; stores nothing.
  DownloadResult authenticateServer() noexcept;

  // The temporary file of the latest download: null before any download and when the
  // temporary name could not be allocated, empty when no file could be made.
  std::optional<std::string> localFile() const;

  // Where the next downloads report their bytes (null: nowhere). The time spent there is
  // not the transfer's: it is logged apart and left out of the transfer's clocks.
  void reportProgressTo(TransferProgress* progress) noexcept { progress_ = progress; }

 private:
  DownloadResult run(const char* fileName, uint64_t maxBytes, const ExpectedContent* expected,
                     std::optional<std::string>& temporaryName, DownloadTrace& trace);

  std::optional<std::string> baseUrl_;
  std::optional<std::string> authPath_;
  std::optional<std::string> localFile_;
  TransferProgress* progress_ = nullptr;
};

}  // namespace corvane
