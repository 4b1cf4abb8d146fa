#include "downloader.h"

#include <windows.h>
#include <wininet.h>

#include <cstring>
#include <new>
#include <vector>

#include "download_rules.h"
#include "handshake_reply.h"
#include "raii.h"
#include "session_authenticator.h"

namespace corvane {

namespace {

constexpr DWORD kBufferSize = 16384;
constexpr char kUserAgent[] = "Corvane Installer";
constexpr char kFormHeader[] = "Content-Type: application/x-www-form-urlencoded";
constexpr DWORD kUnknownLength = 0xFFFFFFFF;
// A cached copy would be answered without asking the server just authenticated, and
// every package would stay behind in the user's cache.
constexpr DWORD kNoCacheFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;

std::optional<std::string> copyOf(const char* text) {
  if (!text) return std::nullopt;
  return std::string(text);
}

// Scheme, host and port of a URL as the platform parses it.
bool crackOrigin(const char* url, UrlOrigin& origin, URL_COMPONENTSA& parts) {
  parts = URL_COMPONENTSA{};
  parts.dwStructSize = sizeof(parts);
  parts.dwSchemeLength = 1;
  parts.dwHostNameLength = 1;
  if (!::InternetCrackUrlA(url, 0, 0, &parts)) return false;
  origin.scheme = parts.nScheme;
  origin.host.assign(parts.lpszHostName ? parts.lpszHostName : "", parts.lpszHostName ? parts.dwHostNameLength : 0);
  origin.port = parts.nPort;
  return true;
}

// Reads until the server ends the reply or the buffer is full, so the result does not
// depend on how the network splits the reply.
bool readReply(HINTERNET request, char* buffer, DWORD capacity, DWORD& length) {
  length = 0;
  while (length < capacity) {
    DWORD got = 0;
    if (!::InternetReadFile(request, buffer + length, capacity - length, &got)) return false;
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

}  // namespace

std::optional<UrlOrigin> urlOrigin(const char* url) {
  UrlOrigin origin;
  URL_COMPONENTSA parts;
  if (url == nullptr || !crackOrigin(url, origin, parts)) return std::nullopt;
  return origin;
}

Downloader::Downloader(const char* baseUrl, const char* authPath)
    : baseUrl_(copyOf(baseUrl)), authPath_(copyOf(authPath)) {}

Downloader::~Downloader() = default;

std::optional<std::string> Downloader::localFile() const { return localFile_; }

DownloadResult Downloader::download(const char* fileName) noexcept {
  std::optional<std::string> temporaryName;
  DownloadResult result;
  try {
    result = run(fileName, temporaryName);
  } catch (const std::bad_alloc&) {
    result = DownloadResult::OutOfMemory;
  } catch (...) {
    // Anything the cryptography throws past its own guards: never proceed, never escape.
    result = DownloadResult::ServerNotAuthenticated;
  }
  localFile_ = std::move(temporaryName);
  return result;
}

DownloadResult Downloader::run(const char* fileName, std::optional<std::string>& temporaryName) {
  std::optional<SessionAuthenticator> authenticator;
  try {
    authenticator.emplace();
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    return DownloadResult::RandomSourceFailed;
  }

  UniqueInternetHandle session(
      ::InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!session) return DownloadResult::SessionOpenFailed;

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
  if (::GetTempFileNameA(directory.data(), prefix.c_str(), 0, nameBuffer.data()) == 0) {
    return DownloadResult::TempNameFailed;
  }
  temporaryName->assign(nameBuffer.data());

  if (!baseUrl_) return DownloadResult::BadBaseUrl;
  URL_COMPONENTSA baseParts;
  UrlOrigin baseOrigin;
  if (!crackOrigin(baseUrl_->c_str(), baseOrigin, baseParts)) return DownloadResult::BadBaseUrl;
  if ((baseParts.nScheme != INTERNET_SCHEME_HTTP && baseParts.nScheme != INTERNET_SCHEME_HTTPS) ||
      baseParts.dwSchemeLength == 0 || baseParts.dwHostNameLength == 0) {
    return DownloadResult::UnsupportedScheme;
  }
  const bool secure = baseParts.nScheme == INTERNET_SCHEME_HTTPS;

  // The auth URL: the base URL's scheme, host and port with the auth path.
  std::string authPath = authPath_.value_or("");
  URL_COMPONENTSA authParts{};
  authParts.dwStructSize = sizeof(authParts);
  authParts.lpszScheme = baseParts.lpszScheme;
  authParts.dwSchemeLength = baseParts.dwSchemeLength;
  authParts.nScheme = baseParts.nScheme;
  authParts.lpszHostName = baseParts.lpszHostName;
  authParts.dwHostNameLength = baseParts.dwHostNameLength;
  authParts.nPort = baseParts.nPort;
  authParts.lpszUrlPath = authPath.data();
  authParts.dwUrlPathLength = static_cast<DWORD>(authPath.size());
  DWORD authUrlLength = 0;
  ::InternetCreateUrlA(&authParts, ICU_ESCAPE, nullptr, &authUrlLength);
  if (authUrlLength == 0) return DownloadResult::UrlComposeFailed;
  std::vector<char> authUrl(authUrlLength + 1, '\0');
  authUrlLength = static_cast<DWORD>(authUrl.size());
  if (!::InternetCreateUrlA(&authParts, ICU_ESCAPE, authUrl.data(), &authUrlLength)) {
    return DownloadResult::UrlComposeFailed;
  }

  const char* relative = fileName ? fileName : "";
  DWORD fileUrlLength = 0;
  ::InternetCombineUrlA(baseUrl_->c_str(), relative, nullptr, &fileUrlLength, ICU_ENCODE_SPACES_ONLY);
  if (fileUrlLength == 0) return DownloadResult::UrlComposeFailed;
  std::vector<char> fileUrl(fileUrlLength + 1, '\0');
  fileUrlLength = static_cast<DWORD>(fileUrl.size());
  if (!::InternetCombineUrlA(baseUrl_->c_str(), relative, fileUrl.data(), &fileUrlLength, ICU_ENCODE_SPACES_ONLY)) {
    return DownloadResult::UrlComposeFailed;
  }
  // Only the server that passes the handshake may supply the file.
  URL_COMPONENTSA fileParts;
  UrlOrigin fileOrigin;
  if (!crackOrigin(fileUrl.data(), fileOrigin, fileParts) || !sameOrigin(baseOrigin, fileOrigin)) {
    return DownloadResult::ForeignFileUrl;
  }

  try {
    authenticator->createSessionId();
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    return DownloadResult::RandomSourceFailed;
  }
  std::string body = "SessionID=" + authenticator->sessionId();

  const std::string host(baseParts.lpszHostName, baseParts.dwHostNameLength);
  UniqueInternetHandle connection(::InternetConnectA(session.get(), host.c_str(), baseParts.nPort, "", nullptr,
                                                     INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection) return DownloadResult::ConnectFailed;

  const char* acceptTypes[] = {"text/*", nullptr};
  // Over TLS for an https server: the proof is only worth what the channel is. Wine
  // caches POST replies too, and a stored reply must never stand in for the server's.
  const DWORD requestFlags = kNoCacheFlags | (secure ? INTERNET_FLAG_SECURE : 0);
  UniqueInternetHandle request(::HttpOpenRequestA(connection.get(), "POST", authPath_ ? authPath_->c_str() : nullptr,
                                                  nullptr, nullptr, acceptTypes, requestFlags, 0));
  if (!request) return DownloadResult::HandshakeFailed;
  if (!::HttpSendRequestA(request.get(), kFormHeader, static_cast<DWORD>(-1), body.data(),
                          static_cast<DWORD>(body.size()))) {
    return DownloadResult::HandshakeFailed;
  }

  char replyBuffer[kBufferSize];
  DWORD replyLength = 0;
  if (!readReply(request.get(), replyBuffer, kBufferSize, replyLength)) return DownloadResult::HandshakeFailed;
  const auto reply = parseHandshakeReply(std::string_view(replyBuffer, replyLength));
  if (!reply) return DownloadResult::MalformedReply;
  if (!authenticator->verifyServerReply(reply->echo, reply->signature)) return DownloadResult::ServerNotAuthenticated;

  request.reset();
  connection.reset();

  UniqueInternetHandle url(::InternetOpenUrlA(session.get(), fileUrl.data(), "", 0, kNoCacheFlags, 0));
  if (!url) return DownloadResult::OpenUrlFailed;

  DWORD status = 0;
  DWORD statusSize = sizeof(status);
  if (!::HttpQueryInfoA(url.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &statusSize, nullptr) ||
      status < 200 || status > 299) {
    return DownloadResult::HttpStatusFailed;
  }

  DWORD contentLength = kUnknownLength;
  DWORD lengthSize = sizeof(contentLength);
  if (!::HttpQueryInfoA(url.get(), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &contentLength, &lengthSize,
                        nullptr)) {
    contentLength = kUnknownLength;
  }

  UniqueHandle file(::CreateFileA(temporaryName->c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED,
                                  nullptr));
  if (!file) return DownloadResult::FileCreateFailed;

  bool presized = false;
  if (contentLength != kUnknownLength && moveTo(file.get(), contentLength)) {
    ::SetEndOfFile(file.get());
    presized = true;
    if (!moveTo(file.get(), 0)) return DownloadResult::FileRewindFailed;
  }

  // A body that stops early must not leave a pre-sized tail of zeros looking complete.
  unsigned long long received = 0;
  auto cutBack = [&]() {
    if (presized && moveTo(file.get(), received)) ::SetEndOfFile(file.get());
  };

  char transferBuffer[kBufferSize];
  for (;;) {
    DWORD got = 0;
    if (!::InternetReadFile(url.get(), transferBuffer, kBufferSize, &got)) {
      cutBack();
      return DownloadResult::ReadFailed;
    }
    if (got == 0) break;
    DWORD written = 0;
    if (!::WriteFile(file.get(), transferBuffer, got, &written, nullptr)) {
      cutBack();
      return DownloadResult::WriteFailed;
    }
    received += got;
  }
  if (contentLength != kUnknownLength && received < contentLength) {
    cutBack();
    return DownloadResult::ReadFailed;
  }

  file.reset();
  url.reset();
  return DownloadResult::Success;
}

}  // namespace corvane
