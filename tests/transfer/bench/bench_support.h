// Timing helpers shared by the benchmark programs.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <string>

#include <algorithm>
#include <vector>

#include "base/file_removal.h"
#include "base/unique_resource.h"
#include "transfer/internet_handle.h"

namespace corvane::testing {

// Seconds on the high-resolution counter.
inline double now() {
  LARGE_INTEGER frequency, counter;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

inline double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The transfer without the control: one session, one URL request with the control's
// cache flags and buffer size, written to a temporary file as well. Seconds, or a
// negative number on failure; `bytes` gets the body's length.
inline double timePlainDownload(const std::string& url, unsigned long long& bytes) {
  char directory[MAX_PATH + 1] = {};
  char path[MAX_PATH + 1] = {};
  ::GetTempPathA(sizeof(directory), directory);
  ::GetTempFileNameA(directory, "bpl", 0, path);
  const ScopedFileRemoval removal(path);
  const double start = now();
  bytes = 0;
  bool ok = false;
  UniqueInternetHandle session(::InternetOpenA("Corvane Installer", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  UniqueInternetHandle request(
      session ? ::InternetOpenUrlA(session.get(), url.c_str(), "", 0,
                                   INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE, 0)
              : nullptr);
  UniqueHandle file(
      ::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr));
  if (request && file) {
    static char buffer[16384];
    DWORD got = 0;
    while ((ok = ::InternetReadFile(request.get(), buffer, sizeof(buffer), &got) != FALSE) && got > 0) {
      DWORD written = 0;
      ::WriteFile(file.get(), buffer, got, &written, nullptr);
      bytes += got;
    }
  }
  const double elapsed = now() - start;
  return ok ? elapsed : -1;
}

}  // namespace corvane::testing
