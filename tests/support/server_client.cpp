#include "support/server_client.h"

#include <windows.h>
#include <wininet.h>

#include <sstream>
#include <stdexcept>

#include "transfer/internet_handle.h"
#include "support/served_files.h"

namespace corvane::testing {

namespace {
constexpr DWORD kFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;

std::string readAll(HINTERNET handle) {
  std::string body;
  char buffer[4096];
  DWORD got = 0;
  while (::InternetReadFile(handle, buffer, sizeof(buffer), &got) && got > 0) body.append(buffer, got);
  return body;
}
}  // namespace

std::string httpGet(const std::string& url) {
  UniqueInternetHandle session(::InternetOpenA("corvane-tests", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  UniqueInternetHandle request(session ? ::InternetOpenUrlA(session.get(), url.c_str(), nullptr, 0, kFlags, 0) : nullptr);
  if (!request) throw std::runtime_error("GET failed: " + url);
  return readAll(request.get());
}

std::string httpPost(const std::string& url, const std::string& body) {
  URL_COMPONENTSA parts{};
  parts.dwStructSize = sizeof(parts);
  char host[256] = {};
  char path[2048] = {};
  parts.lpszHostName = host;
  parts.dwHostNameLength = sizeof(host);
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = sizeof(path);
  if (!::InternetCrackUrlA(url.c_str(), 0, 0, &parts)) throw std::runtime_error("bad URL " + url);
  UniqueInternetHandle session(::InternetOpenA("corvane-tests", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  UniqueInternetHandle connection(
      ::InternetConnectA(session.get(), host, parts.nPort, "", nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  UniqueInternetHandle request(
      connection ? ::HttpOpenRequestA(connection.get(), "POST", path, nullptr, nullptr, nullptr, kFlags, 0) : nullptr);
  static const char header[] = "Content-Type: application/x-www-form-urlencoded";
  if (!request || !::HttpSendRequestA(request.get(), header, static_cast<DWORD>(-1), const_cast<char*>(body.data()),
                                      static_cast<DWORD>(body.size()))) {
    throw std::runtime_error("POST failed: " + url);
  }
  return readAll(request.get());
}

std::vector<std::string> serverRequestsContaining(const std::string& needle, bool detailed) {
  std::istringstream log(httpGet(componentServerUrl() + (detailed ? "_log/detail" : "_log")));
  std::vector<std::string> lines;
  for (std::string line; std::getline(log, line);) {
    if (line.find(needle) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

}  // namespace corvane::testing
