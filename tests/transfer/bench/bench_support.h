// Timing helpers shared by the benchmark programs.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <string>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
#include <vector>

#include "base/file_removal.h"
#include "base/unique_resource.h"
#include "transfer/http_request.h"
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

// What a plain read loop adds of the control's download, one step at a time, so that a
// row per step shows what each costs.
struct PlainSteps {
  bool presize = false;            // the file set to the announced length before writing
  bool controlAttributes = false;  // the control's attributes instead of plain temporary
  bool requestPath = false;        // connect, open request, time-outs, own redirects
};

inline std::string temporaryPath(const char* prefix) {
  char directory[MAX_PATH + 1] = {};
  char path[MAX_PATH + 1] = {};
  ::GetTempPathA(sizeof(directory), directory);
  ::GetTempFileNameA(directory, prefix, 0, path);
  return path;
}

// The transfer without the control: one session, one request with the control's cache
// flags and buffer size, written to `path`. False on failure; `bytes` gets the body's length.
inline bool plainDownloadTo(const std::string& url, const std::string& path, unsigned long long& bytes,
                            PlainSteps steps = {}) {
  bytes = 0;
  UniqueInternetHandle session(::InternetOpenA("Corvane Installer", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!session) return false;
  GetAnswer answer;
  if (steps.requestPath) {
    const auto origin = urlOrigin(url.c_str());
    if (!origin) return false;
    answer = getWithinOrigin(session.get(), url, *origin, RequestDeadline());
  } else {
    answer.request.reset(::InternetOpenUrlA(session.get(), url.c_str(), "", 0, kNoCacheFlags, 0));
  }
  if (!answer.request) return false;
  const DWORD attributes = steps.controlAttributes
                               ? FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED
                               : FILE_ATTRIBUTE_TEMPORARY;
  UniqueHandle file(::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, attributes, nullptr));
  if (!file) return false;
  if (steps.presize) {
    if (const auto length = announcedLength(answer.request.get())) {
      LARGE_INTEGER distance;
      distance.QuadPart = static_cast<LONGLONG>(*length);
      ::SetFilePointerEx(file.get(), distance, nullptr, FILE_BEGIN);
      ::SetEndOfFile(file.get());
      distance.QuadPart = 0;
      ::SetFilePointerEx(file.get(), distance, nullptr, FILE_BEGIN);
    }
  }
  static char buffer[16384];
  DWORD got = 0;
  bool ok = false;
  while ((ok = ::InternetReadFile(answer.request.get(), buffer, sizeof(buffer), &got) != FALSE) && got > 0) {
    DWORD written = 0;
    if (!::WriteFile(file.get(), buffer, got, &written, nullptr)) return false;
    bytes += got;
  }
  return ok;
}

// Seconds for plainDownloadTo into a temporary file removed afterwards, or a negative
// number on failure.
inline double timePlainDownload(const std::string& url, unsigned long long& bytes, PlainSteps steps = {}) {
  const ScopedFileRemoval removal(temporaryPath("bpl"));
  const double start = now();
  const bool ok = plainDownloadTo(url, removal.path(), bytes, steps);
  const double elapsed = now() - start;
  return ok ? elapsed : -1;
}

// Timings of several sides run interleaved: in each round every side runs once, the first
// one moving round by round, so that none always pays for the write-back of another's file
// and a slow spell of the machine falls on all of them.
class InterleavedSides {
 public:
  using Side = std::function<double()>;  // seconds, negative on failure
  explicit InterleavedSides(std::vector<Side> sides) : sides_(std::move(sides)), times_(sides_.size()) {}

  bool run(int rounds) {
    for (int round = 0; round < rounds; ++round) {
      for (std::size_t k = 0; k < sides_.size(); ++k) {
        const std::size_t side = (k + static_cast<std::size_t>(round)) % sides_.size();
        const double seconds = sides_[side]();
        if (seconds < 0) return false;
        times_[side].push_back(seconds);
      }
    }
    return true;
  }
  double median(std::size_t side) const { return corvane::testing::median(times_[side]); }
  const std::vector<double>& times(std::size_t side) const { return times_[side]; }

  // "floor time / our time": the ratio of the medians, and its spread over the rounds'
  // pairs. `floorExtra` is added to every floor time (a handshake that is there by design).
  std::string ratio(std::size_t floor, std::size_t ours, double floorExtra = 0) const {
    std::vector<double> pairs;
    for (std::size_t i = 0; i < times_[ours].size(); ++i) {
      pairs.push_back((times_[floor][i] + floorExtra) / times_[ours][i]);
    }
    std::sort(pairs.begin(), pairs.end());
    char text[96];
    std::snprintf(text, sizeof text, "ratio %.2f (pairs %.2f-%.2f, middle half %.2f-%.2f)",
                  (median(floor) + floorExtra) / median(ours), pairs.front(), pairs.back(), pairs[pairs.size() / 4],
                  pairs[(pairs.size() * 3 - 1) / 4]);
    return text;
  }

 private:
  std::vector<Side> sides_;
  std::vector<std::vector<double>> times_;
};

}  // namespace corvane::testing
