#include "transfer/downloader.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <new>
#include <vector>

#include "base/diagnostic_log.h"
#include "base/mutation_points.h"
#include "base/unique_resource.h"
#include "transfer/download_rules.h"
#include "transfer/handshake_reply.h"
#include "transfer/http_request.h"
#include "transfer/progress_report.h"
#include "transfer/session_authenticator.h"
#include "transfer/wininet_errors.h"
#include "trust/concurrent_digest.h"

namespace corvane {

namespace {

constexpr DWORD kBufferSize = 16384;
constexpr char kUserAgent[] = "Corvane Installer";
constexpr char kFormHeader[] = "Content-Type: application/x-www-form-urlencoded";

// The URLs of one download, all on the base URL's server.
struct DownloadUrls {
  Origin server;
  std::vector<char> authUrl;
  std::vector<char> fileUrl;
};

// The file request once its answer has been accepted.
struct FileAnswer {
  GetAnswer get;
  std::optional<uint64_t> length;
};

std::optional<std::string> copyOf(const char* text) {
  if (!text) return std::nullopt;
  return std::string(text);
}

// Only names the failure of a base URL without an origin: one the platform reads as
// another scheme than http or https.
bool platformReadsAnotherScheme(const char* url) {
  URL_COMPONENTSA parts{};
  parts.dwStructSize = sizeof(parts);
  return ::InternetCrackUrlA(url, 0, 0, &parts) && parts.nScheme != INTERNET_SCHEME_HTTP &&
         parts.nScheme != INTERNET_SCHEME_HTTPS;
}

// Reads until the server ends the reply or the buffer is full, so the result does not
// depend on how the network splits the reply; a reply not whole by the deadline fails.
bool readReply(HINTERNET request, char* buffer, DWORD capacity, DWORD& length, const RequestDeadline& deadline) {
  length = 0;
  while (length < capacity) {
    DWORD got = 0;
    if (!readArrived(request, buffer + length, capacity - length, got, deadline)) return false;
    if (got == 0) break;
    length += got;
  }
  return true;
}

bool moveTo(HANDLE file, unsigned long long offset) {
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(offset);
  return ::SetFilePointerEx(file, distance, nullptr, FILE_BEGIN) != FALSE;
}

// Runs a step of the cryptography: its failures other than memory mean no usable random source.
template <typename Step>
DownloadResult withRandomSource(Step&& step) {
  try {
    step();
    return DownloadResult::Success;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    return DownloadResult::RandomSourceFailed;
  }
}

DownloadResult prepareTemporaryFile(const char* fileName, std::optional<std::string>& temporaryName) {
  const DWORD directoryLength = ::GetTempPathA(0, nullptr);
  if (directoryLength == 0) return DownloadResult::TempPathFailed;
  std::vector<char> directory(directoryLength + 1, '\0');
  if (::GetTempPathA(static_cast<DWORD>(directory.size()), directory.data()) == 0) {
    return DownloadResult::TempPathFailed;
  }

  // Room for the directory, prefix, number and extension; never less than the platform's
  // path limit, which is what GetTempFileNameA may assume of the buffer.
  std::vector<char> nameBuffer(directoryLength + 12 + 1 > MAX_PATH + 1 ? directoryLength + 12 + 1 : MAX_PATH + 1, '\0');
  temporaryName.emplace();
  const std::string prefix = temporaryFilePrefix(fileName);
  const auto createFile = [&] { return ::GetTempFileNameA(directory.data(), prefix.c_str(), 0, nameBuffer.data()); };
  if (mutateFileSystem("create package file", createFile) == 0) {
    return DownloadResult::TempNameFailed;
  }
  temporaryName->assign(nameBuffer.data());
  return DownloadResult::Success;
}

// The auth URL: the base URL's scheme, host and port with the auth path.
bool composeAuthUrl(const Origin& server, std::string authPath, std::vector<char>& authUrl) {
  std::string scheme = server.secure ? "https" : "http";
  std::string host = server.host;
  URL_COMPONENTSA authParts{};
  authParts.dwStructSize = sizeof(authParts);
  authParts.lpszScheme = scheme.data();
  authParts.dwSchemeLength = static_cast<DWORD>(scheme.size());
  authParts.nScheme = server.secure ? INTERNET_SCHEME_HTTPS : INTERNET_SCHEME_HTTP;
  authParts.lpszHostName = host.data();
  authParts.dwHostNameLength = static_cast<DWORD>(host.size());
  authParts.nPort = static_cast<INTERNET_PORT>(server.port);
  authParts.lpszUrlPath = authPath.data();
  authParts.dwUrlPathLength = static_cast<DWORD>(authPath.size());
  DWORD length = 0;
  ::InternetCreateUrlA(&authParts, ICU_ESCAPE, nullptr, &length);
  if (length == 0) return false;
  authUrl.assign(length + 1, '\0');
  length = static_cast<DWORD>(authUrl.size());
  return ::InternetCreateUrlA(&authParts, ICU_ESCAPE, authUrl.data(), &length) != FALSE;
}

bool composeFileUrl(const std::string& baseUrl, const char* fileName, std::vector<char>& fileUrl) {
  const char* relative = fileName ? fileName : "";
  DWORD length = 0;
  ::InternetCombineUrlA(baseUrl.c_str(), relative, nullptr, &length, ICU_ENCODE_SPACES_ONLY);
  if (length == 0) return false;
  fileUrl.assign(length + 1, '\0');
  length = static_cast<DWORD>(fileUrl.size());
  return ::InternetCombineUrlA(baseUrl.c_str(), relative, fileUrl.data(), &length, ICU_ENCODE_SPACES_ONLY) != FALSE;
}

DownloadResult composeUrls(const std::optional<std::string>& baseUrl, const std::optional<std::string>& authPath,
                           const char* fileName, DownloadUrls& urls) {
  if (!baseUrl) return DownloadResult::BadBaseUrl;
  const std::optional<Origin> server = urlOrigin(baseUrl->c_str());
  if (!server) {
    return platformReadsAnotherScheme(baseUrl->c_str()) ? DownloadResult::UnsupportedScheme
                                                         : DownloadResult::BadBaseUrl;
  }
  urls.server = *server;

  if (!composeAuthUrl(*server, authPath.value_or(""), urls.authUrl)) return DownloadResult::UrlComposeFailed;
  if (!composeFileUrl(*baseUrl, fileName, urls.fileUrl)) return DownloadResult::UrlComposeFailed;
  // Only the server that passes the handshake may supply the file.
  const std::optional<Origin> fileOrigin = urlOrigin(urls.fileUrl.data());
  if (!fileOrigin || !sameOrigin(*server, *fileOrigin)) {
    return DownloadResult::ForeignFileUrl;
  }
  return DownloadResult::Success;
}

// Posts the challenge to the auth path and checks the signed echo. The POST is never
// redirected, and only a 2xx answer can carry the proof: a body that comes with another
// status is not the handshake script's answer.
DownloadResult authenticate(SessionAuthenticator& authenticator, HINTERNET session, const DownloadUrls& urls,
                            const std::optional<std::string>& authPath, DownloadTrace& trace) {
  if (withRandomSource([&] { authenticator.createSessionId(); }) != DownloadResult::Success) {
    return DownloadResult::RandomSourceFailed;
  }
  const std::string body = "SessionID=" + authenticator.sessionId();
  const RequestDeadline deadline;

  const UniqueInternetHandle connection = connectToServer(session, urls.server);
  if (!connection) {
    trace.error = ::GetLastError();
    return DownloadResult::ConnectFailed;
  }
  const char* acceptTypes[] = {"text/*", nullptr};
  // Over TLS for an https server: the proof is only worth what the channel is. Wine
  // caches POST replies too, and a stored reply must never stand in for the server's.
  const UniqueInternetHandle request =
      sendRequest(connection.get(), urls.server, "POST", authPath.value_or(""), acceptTypes, kFormHeader, body);
  if (!request) {
    trace.error = ::GetLastError();
    return DownloadResult::HandshakeFailed;
  }
  trace.handshakeStatus = httpStatus(request.get());
  if (!isSuccessStatus(trace.handshakeStatus)) return DownloadResult::HandshakeFailed;

  char replyBuffer[kBufferSize];
  DWORD replyLength = 0;
  if (!readReply(request.get(), replyBuffer, kBufferSize, replyLength, deadline)) return DownloadResult::HandshakeFailed;
  const auto reply = parseHandshakeReply(std::string_view(replyBuffer, replyLength));
  if (!reply) return DownloadResult::MalformedReply;
  if (!authenticator.verifyServerReply(reply->echo, reply->signature)) return DownloadResult::ServerNotAuthenticated;
  return DownloadResult::Success;
}

// The file's answer, accepted only from the authenticated server, with a 2xx status and
// no more announced than the caller takes.
DownloadResult openFileRequest(HINTERNET session, const DownloadUrls& urls, uint64_t maxBytes, FileAnswer& answer,
                               DownloadTrace& trace) {
  // The deadline bounds the hops and the answer's head; the body is held to a pace instead.
  answer.get = getWithinOrigin(session, urls.fileUrl.data(), urls.server, RequestDeadline());
  if (answer.get.failure == GetFailure::NotSent) {
    trace.error = ::GetLastError();
    return DownloadResult::OpenUrlFailed;
  }
  if (answer.get.request) trace.fileStatus = httpStatus(answer.get.request.get());
  if (answer.get.failure == GetFailure::Refused) return DownloadResult::HttpStatusFailed;
  if (!isSuccessStatus(trace.fileStatus)) return DownloadResult::HttpStatusFailed;
  answer.length = announcedLength(answer.get.request.get());
  if (answer.length && *answer.length > maxBytes) return DownloadResult::TooLarge;
  return DownloadResult::Success;
}

// Where each piece of the body is read to. A body the signed manifest vouches for is read
// straight into the buffers of a digest that hashes on a thread of its own while the next
// pieces arrive: no second pass over a package of hundreds of megabytes, and little added
// time.
class BodyCheck {
 public:
  explicit BodyCheck(const ExpectedContent* expected) : expected_(expected) {
    if (expected_) digest_.emplace();
  }
  // An announced length other than the signed size fails before any byte is fetched.
  bool lengthPlausible(const std::optional<uint64_t>& announced) const {
    return !expected_ || !announced || *announced == expected_->size;
  }
  char* room(DWORD& capacity) {
    if (!digest_) {
      capacity = kBufferSize;
      return buffer_;
    }
    size_t available = 0;
    uint8_t* room = digest_->room(available);
    capacity = static_cast<DWORD>(std::min<size_t>(available, kBufferSize));
    return reinterpret_cast<char*>(room);
  }
  bool piecePlausible(uint64_t receivedAfterPiece) const { return !expected_ || receivedAfterPiece <= expected_->size; }
  // The piece just read into room() is written out: it may be handed to the digest.
  void pieceDone(DWORD length) {
    if (digest_) digest_->added(length);
  }
  bool matches() { return !expected_ || digest_->matches(*expected_); }

 private:
  const ExpectedContent* expected_;
  std::optional<ConcurrentDigest> digest_;
  char buffer_[kBufferSize];
};

// Writes the body into the temporary file. The file is pre-sized to the announced length;
// a body that stops early is cut back so that no tail of zeros looks complete.
DownloadResult streamToFile(const FileAnswer& answer, uint64_t maxBytes, BodyCheck& check,
                            const std::string& temporaryName, uint64_t& received, ProgressReport& progress) {
  const UniqueHandle file(::CreateFileA(
      temporaryName.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
      FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED, nullptr));
  if (!file) return DownloadResult::FileCreateFailed;

  bool presized = false;
  if (answer.length && moveTo(file.get(), *answer.length)) {
    ::SetEndOfFile(file.get());
    presized = true;
    if (!moveTo(file.get(), 0)) return DownloadResult::FileRewindFailed;
  }

  received = 0;
  auto failWith = [&](DownloadResult result) {
    if (presized && moveTo(file.get(), received)) ::SetEndOfFile(file.get());
    return result;
  };
  ProgressWatch pace;
  const RequestDeadline unbounded = RequestDeadline::none();
  for (;;) {
    DWORD capacity = 0;
    char* piece = check.room(capacity);
    DWORD got = 0;
    if (!readArrived(answer.get.request.get(), piece, capacity, got, unbounded)) {
      logStep("reading the body failed after %s bytes: %s", std::to_string(received).c_str(),
              winInetErrorText(::GetLastError()).c_str());
      return failWith(DownloadResult::ReadFailed);
    }
    if (got == 0) break;
    // A trickle that would take days is abandoned like a stall.
    if (!pace.keepsPace(received + got)) return failWith(DownloadResult::ReadFailed);
    if (received + got > maxBytes) return failWith(DownloadResult::BodyTooLarge);
    if (!check.piecePlausible(received + got)) return failWith(DownloadResult::NotAsSigned);
    DWORD written = 0;
    if (!::WriteFile(file.get(), piece, got, &written, nullptr)) return failWith(DownloadResult::WriteFailed);
    check.pieceDone(got);
    received += got;
    progress.arrived(received, answer.length);
  }
  if (answer.length && received < *answer.length) return failWith(DownloadResult::ReadFailed);
  progress.ended(received, answer.length);
  if (!check.matches()) return failWith(DownloadResult::NotAsSigned);
  return DownloadResult::Success;
}

// Runs the work of a public call, catching what must not leave it.
template <typename Work>
DownloadResult guarded(Work&& work) noexcept {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    return DownloadResult::OutOfMemory;
  } catch (...) {
    // Anything the cryptography throws past its own guards: never proceed, never escape.
    return DownloadResult::ServerNotAuthenticated;
  }
}

}  // namespace

Downloader::Downloader(const char* baseUrl, const char* authPath)
    : baseUrl_(copyOf(baseUrl)), authPath_(copyOf(authPath)) {}

Downloader::~Downloader() = default;

std::optional<std::string> Downloader::localFile() const { return localFile_; }

const char* downloadResultName(DownloadResult result) noexcept {
  static const char* const kNames[] = {
      "Success",         "SessionOpenFailed", "TempPathFailed",   "OutOfMemory",        "TempNameFailed",
      "UrlComposeFailed", "OpenUrlFailed",    "FileCreateFailed", "FileRewindFailed",   "ReadFailed",
      "WriteFailed",     "HttpStatusFailed",  "BadBaseUrl",       "UnsupportedScheme",  "ConnectFailed",
      "HandshakeFailed", "MalformedReply",    "ServerNotAuthenticated", "ForeignFileUrl", "RandomSourceFailed",
      "TooLarge",        "BodyTooLarge",      "NotAsSigned"};
  static_assert(sizeof kNames / sizeof kNames[0] == static_cast<size_t>(DownloadResult::NotAsSigned) + 1,
                "every result has its name");
  const auto index = static_cast<size_t>(result);
  return index < sizeof kNames / sizeof kNames[0] ? kNames[index] : "Unknown";
}

std::string downloadFailureDetail(const std::string& what, DownloadResult result) {
  static const char* const kPhrases[] = {
      "succeeded",
      "could not open an internet session",
      "found no temporary folder",
      "ran out of memory",
      "could not make a temporary file",
      "could not compose its URLs",
      "got no answer to the file request",
      "could not open its temporary file",
      "could not rewind its temporary file",
      "stopped before the whole body arrived",
      "could not write its temporary file",
      "got an HTTP status other than success, or a redirect off the server",
      "has a base URL that cannot be parsed",
      "has a base URL that is neither http nor https",
      "could not connect to the server",
      "failed in the handshake request (refused, no answer, or an HTTP error)",
      "got a malformed handshake reply",
      "found a server that could not prove its key",
      "names a file on another server",
      "found no random source for the challenge",
      "was announced larger than allowed",
      "ran past the size allowed",
      "got bytes other than the signed manifest lists",
  };
  static_assert(sizeof kPhrases / sizeof kPhrases[0] == static_cast<size_t>(DownloadResult::NotAsSigned) + 1,
                "every result has its phrase");
  const auto index = static_cast<size_t>(result);
  const char* phrase = index < sizeof kPhrases / sizeof kPhrases[0] ? kPhrases[index] : "failed";
  return "the download of " + what + " " + phrase + " (" + downloadResultName(result) + ")";
}

DownloadResult Downloader::download(const char* fileName, uint64_t maxBytes, const ExpectedContent* expected) noexcept {
  std::optional<std::string> temporaryName;
  DownloadTrace trace;
  const DownloadResult result = guarded([&] { return run(fileName, maxBytes, expected, temporaryName, trace); });
  localFile_ = std::move(temporaryName);
  logStep("download %s: %s (%d), handshake HTTP status %lu, file HTTP status %lu, %s bytes", fileName ? fileName : "",
          downloadResultName(result), static_cast<int>(result), trace.handshakeStatus, trace.fileStatus,
          std::to_string(trace.bytes).c_str());
  if (trace.error != 0) logStep("download %s: %s", fileName ? fileName : "", winInetErrorText(trace.error).c_str());
  return result;
}

DownloadResult Downloader::authenticateServer() noexcept {
  return guarded([&] {
    std::optional<SessionAuthenticator> authenticator;
    DownloadResult result = withRandomSource([&] { authenticator.emplace(); });
    if (result != DownloadResult::Success) return result;
    const UniqueInternetHandle session = openInternetSession(kUserAgent);
    if (!session) return DownloadResult::SessionOpenFailed;
    DownloadUrls urls;
    result = composeUrls(baseUrl_, authPath_, nullptr, urls);
    if (result != DownloadResult::Success) return result;
    DownloadTrace trace;
    return authenticate(*authenticator, session.get(), urls, authPath_, trace);
  });
}

DownloadResult Downloader::run(const char* fileName, uint64_t maxBytes, const ExpectedContent* expected,
                               std::optional<std::string>& temporaryName, DownloadTrace& trace) {
  std::optional<SessionAuthenticator> authenticator;
  DownloadResult result = withRandomSource([&] { authenticator.emplace(); });
  if (result != DownloadResult::Success) return result;

  const UniqueInternetHandle session = openInternetSession(kUserAgent);
  if (!session) return DownloadResult::SessionOpenFailed;

  result = prepareTemporaryFile(fileName, temporaryName);
  if (result != DownloadResult::Success) return result;

  DownloadUrls urls;
  result = composeUrls(baseUrl_, authPath_, fileName, urls);
  if (result != DownloadResult::Success) return result;

  result = authenticate(*authenticator, session.get(), urls, authPath_, trace);
  if (result != DownloadResult::Success) return result;

  FileAnswer answer;
  result = openFileRequest(session.get(), urls, maxBytes, answer, trace);
  if (result != DownloadResult::Success) return result;
  BodyCheck check(expected);
  if (!check.lengthPlausible(answer.length)) return DownloadResult::NotAsSigned;

  ProgressReport progress(progress_);
  result = streamToFile(answer, maxBytes, check, *temporaryName, trace.bytes, progress);
  if (progress.timeInReports().count() > 0) {
    logStep("download %s: %lld ms in progress reports, not counted as transfer time", fileName ? fileName : "",
            static_cast<long long>(progress.timeInReports().count()));
  }
  return result;
}

}  // namespace corvane
