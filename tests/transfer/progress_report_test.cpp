// A download's progress reports: at most one per interval while bytes arrive, one at the
// end, and the time spent in them kept apart from the transfer's.
#include <gtest/gtest.h>

#include <vector>

#include "transfer/progress_report.h"

namespace corvane::testing {
namespace {

using namespace std::chrono_literals;

ProgressReport::Clock::time_point steppedNow;
ProgressReport::Clock::time_point readSteppedClock() { return steppedNow; }

struct Report {
  uint64_t received;
  std::optional<uint64_t> total;
};

// Records each report; each report "takes" `cost` on the stepped clock.
class RecordingProgress final : public TransferProgress {
 public:
  std::chrono::milliseconds bytesArrived(uint64_t received, std::optional<uint64_t> total) noexcept override {
    reports.push_back({received, total});
    steppedNow += cost;
    return cost;
  }
  std::vector<Report> reports;
  std::chrono::milliseconds cost{0};
};

TEST(ProgressReport, ReportsAtMostEveryIntervalAndOnceAtTheEnd) {
  RecordingProgress sink;
  ProgressReport progress(&sink, &readSteppedClock);
  // Pieces every 100 ms for 1 s: reports at 0, 300 (the first piece 250 ms after 0), 600, 900.
  for (int piece = 1; piece <= 10; ++piece) {
    progress.arrived(piece * 1000u, 10000u);
    steppedNow += 100ms;
  }
  progress.ended(10000, 10000u);
  progress.ended(10000, 10000u);
  progress.arrived(10000, 10000u);
  std::vector<uint64_t> received;
  for (const Report& report : sink.reports) received.push_back(report.received);
  EXPECT_EQ((std::vector<uint64_t>{1000, 4000, 7000, 10000, 10000}), received);
  EXPECT_EQ(10000u, sink.reports.back().total);
}

// A slow sink is not called again until an interval after its last report ended, and the
// time it took is what the transfer leaves out of its clocks.
TEST(ProgressReport, TimeInTheSinkIsKeptApart) {
  RecordingProgress sink;
  sink.cost = 2s;
  ProgressReport progress(&sink, &readSteppedClock);
  progress.arrived(1, std::nullopt);
  steppedNow += 200ms;
  progress.arrived(2, std::nullopt);
  steppedNow += 100ms;
  progress.arrived(3, std::nullopt);
  progress.ended(3, std::nullopt);
  ASSERT_EQ(3u, sink.reports.size());
  EXPECT_EQ(3u, sink.reports[1].received);
  EXPECT_FALSE(sink.reports[1].total);
  EXPECT_EQ(6000ms, progress.timeInReports());
}

TEST(ProgressReport, WithoutASinkNothingIsReported) {
  ProgressReport progress(nullptr, &readSteppedClock);
  progress.arrived(1, 2u);
  progress.ended(2, 2u);
  EXPECT_EQ(0ms, progress.timeInReports());
}

}  // namespace
}  // namespace corvane::testing
