// Throughput of the authenticated download against a plain WinINet read loop of the same
// file, and the time the handshake adds to a download. Run by scripts/bench.
//   transfer_bench BASE_URL AUTH_PATH NAME:RUNS... [--handshake SMALL_NAME RUNS]
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "transfer/downloader.h"
#include "tests/transfer/bench/bench_support.h"
#include "base/unique_resource.h"
#include "transfer/internet_handle.h"

namespace {

using corvane::DownloadResult;
using corvane::Downloader;
using corvane::UniqueHandle;
using corvane::UniqueInternetHandle;

using corvane::testing::median;
using corvane::testing::now;

// Returns seconds, or a negative number on failure. The file is removed afterwards.
double timeDownloader(const std::string& base, const std::string& auth, const std::string& name,
                      unsigned long long& bytes) {
  Downloader downloader(base.c_str(), auth.c_str());
  const double start = now();
  const DownloadResult result = downloader.download(name.c_str());
  const double elapsed = now() - start;
  const auto path = downloader.localFile();
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (path && ::GetFileAttributesExA(path->c_str(), GetFileExInfoStandard, &data)) {
    bytes = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }
  if (path && !path->empty()) ::DeleteFileA(path->c_str());
  if (result != DownloadResult::Success) {
    std::fprintf(stderr, "download of %s failed: %d\n", name.c_str(), static_cast<int>(result));
    return -1;
  }
  return elapsed;
}

double timePlain(const std::string& base, const std::string& name, unsigned long long& bytes) {
  return corvane::testing::timePlainDownload(base + name, bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: transfer_bench BASE_URL AUTH_PATH NAME:RUNS... [--handshake NAME RUNS]\n");
    return 2;
  }
  const std::string base = argv[1];
  const std::string auth = argv[2];
  int status = 0;
  for (int i = 3; i < argc; ++i) {
    if (std::strcmp(argv[i], "--handshake") == 0 && i + 2 < argc) {
      const std::string name = argv[i + 1];
      const int runs = std::atoi(argv[i + 2]);
      i += 2;
      std::vector<double> withHandshake, without;
      unsigned long long bytes = 0;
      for (int run = 0; run < runs; ++run) {
        const double a = timeDownloader(base, auth, name, bytes);
        const double b = timePlain(base, name, bytes);
        if (a < 0 || b < 0) return 1;
        withHandshake.push_back(a);
        without.push_back(b);
      }
      std::printf("handshake\t%s (%llu bytes), median of %d\tdownload %.2f ms\tplain %.2f ms\tadded %.2f ms\n",
                  name.c_str(), bytes, runs, median(withHandshake) * 1e3, median(without) * 1e3,
                  (median(withHandshake) - median(without)) * 1e3);
      continue;
    }
    std::string rowArgument = argv[i];
    const auto colon = rowArgument.find(':');
    const std::string name = rowArgument.substr(0, colon);
    const int runs = colon == std::string::npos ? 3 : std::atoi(rowArgument.c_str() + colon + 1);
    std::vector<double> downloads, plains;
    unsigned long long bytes = 0;
    for (int run = 0; run < runs; ++run) {
      // Whichever goes first pays for the write-back of the previous run's file: take
      // turns so neither side always does.
      double a, b;
      if (run % 2 == 0) {
        a = timeDownloader(base, auth, name, bytes);
        b = timePlain(base, name, bytes);
      } else {
        b = timePlain(base, name, bytes);
        a = timeDownloader(base, auth, name, bytes);
      }
      if (a < 0 || b < 0) {
        status = 1;
        break;
      }
      downloads.push_back(a);
      plains.push_back(b);
    }
    if (downloads.empty()) continue;
    const double mib = static_cast<double>(bytes) / (1024.0 * 1024.0);
    const double d = median(downloads), p = median(plains);
    std::printf("throughput\t%s (%.0f MiB), median of %d\tdownload %.1f MiB/s\tplain %.1f MiB/s\tratio %.2f\n",
                name.c_str(), mib, runs, mib / d, mib / p, (mib / d) / (mib / p));
  }
  return status;
}
