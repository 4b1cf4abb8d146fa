// Throughput of the authenticated download against a plain WinINet read loop of the same
// file, with one row per step the control's download adds to that loop, and the time the
// handshake adds to a download. Run by scripts/bench. Every ratio is floor time / our time.
//   transfer_bench BASE_URL AUTH_PATH NAME:RUNS... [--handshake SMALL_NAME RUNS]
// The handshake row, when asked for, runs first: the rows after it compare the download
// with the plain loop plus its median.
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/transfer/bench/bench_support.h"
#include "transfer/downloader.h"

namespace {

using corvane::DownloadResult;
using corvane::Downloader;
using corvane::testing::InterleavedSides;
using corvane::testing::PlainSteps;
using corvane::testing::timePlainDownload;

// Returns seconds, or a negative number on failure. The file is removed afterwards.
double timeDownloader(const std::string& base, const std::string& auth, const std::string& name,
                      unsigned long long& bytes) {
  Downloader downloader(base.c_str(), auth.c_str());
  const double start = corvane::testing::now();
  const DownloadResult result = downloader.download(name.c_str());
  const double elapsed = corvane::testing::now() - start;
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

// The steps, each on top of the ones before it.
struct Candidate {
  const char* label;
  PlainSteps steps;
};
const Candidate kCandidates[] = {
    {"plain loop", {}},
    {"+ pre-sizing", {true, false, false}},
    {"+ file attributes", {true, true, false}},
    {"+ request path", {true, true, true}},
};
constexpr std::size_t kCandidateCount = sizeof kCandidates / sizeof kCandidates[0];

double handshakeRow(const std::string& base, const std::string& auth, const std::string& name, int runs) {
  unsigned long long bytes = 0;
  InterleavedSides sides({[&] { return timeDownloader(base, auth, name, bytes); },
                          [&] { return timePlainDownload(base + name, bytes); }});
  if (!sides.run(runs)) return -1;
  const double added = sides.median(0) - sides.median(1);
  std::printf("handshake\t%s (%llu bytes), median of %d\tdownload %.2f ms\tplain %.2f ms\tadded %.2f ms\n", name.c_str(),
              bytes, runs, sides.median(0) * 1e3, sides.median(1) * 1e3, added * 1e3);
  return added;
}

bool throughputRows(const std::string& base, const std::string& auth, const std::string& name, int runs,
                    double handshake) {
  unsigned long long bytes = 0;
  std::vector<InterleavedSides::Side> sideList;
  for (const Candidate& candidate : kCandidates) {
    sideList.push_back([&, steps = candidate.steps] { return timePlainDownload(base + name, bytes, steps); });
  }
  sideList.push_back([&] { return timeDownloader(base, auth, name, bytes); });
  InterleavedSides sides(std::move(sideList));
  if (!sides.run(runs)) return false;
  const double mib = static_cast<double>(bytes) / (1024.0 * 1024.0);
  const std::size_t download = kCandidateCount;
  for (std::size_t k = 1; k < kCandidateCount; ++k) {
    std::printf("download step\t%s (%.0f MiB), median of %d\t%s %.1f MiB/s\tplain %.1f MiB/s\t%s\n", name.c_str(), mib,
                runs, kCandidates[k].label, mib / sides.median(k), mib / sides.median(0), sides.ratio(0, k).c_str());
  }
  std::printf("throughput\t%s (%.0f MiB), median of %d\tdownload %.1f MiB/s\tplain %.1f MiB/s\tplain/download %s\n",
              name.c_str(), mib, runs, mib / sides.median(download), mib / sides.median(0),
              sides.ratio(0, download).c_str());
  if (handshake > 0) {
    std::printf("throughput\t%s, with one handshake (%.2f ms) added to plain\t\t\t(plain+handshake)/download %s\n",
                name.c_str(), handshake * 1e3, sides.ratio(0, download, handshake).c_str());
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: transfer_bench BASE_URL AUTH_PATH NAME:RUNS... [--handshake NAME RUNS]\n");
    return 2;
  }
  const std::string base = argv[1];
  const std::string auth = argv[2];
  std::vector<std::string> rows;
  double handshake = 0;
  for (int i = 3; i < argc; ++i) {
    if (std::strcmp(argv[i], "--handshake") == 0 && i + 2 < argc) {
      handshake = handshakeRow(base, auth, argv[i + 1], std::atoi(argv[i + 2]));
      if (handshake < 0) return 1;
      i += 2;
    } else {
      rows.push_back(argv[i]);
    }
  }
  for (const std::string& row : rows) {
    const auto colon = row.find(':');
    const int runs = colon == std::string::npos ? 3 : std::atoi(row.c_str() + colon + 1);
    if (!throughputRows(base, auth, row.substr(0, colon), runs, handshake)) return 1;
  }
  return 0;
}
