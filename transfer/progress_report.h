// The progress of one download as its report sees it: at most one report per interval
// while bytes arrive, and one at the end. It keeps the time spent in the reports, which a
// clock of the transfer must leave out (a page's alert() must not fail a download).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "base/job_events.h"

namespace corvane {

class ProgressReport {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kInterval{250};

  // A null sink reports nothing. `now` is the clock's reading, for tests that step it.
  explicit ProgressReport(TransferProgress* sink, Clock::time_point (*now)() = &Clock::now) noexcept;

  // Bytes have arrived: reported when the interval since the last report has passed.
  void arrived(uint64_t received, std::optional<uint64_t> total) noexcept;
  // The body is complete: always reported, once.
  void ended(uint64_t received, std::optional<uint64_t> total) noexcept;

  std::chrono::milliseconds timeInReports() const noexcept { return timeInReports_; }

 private:
  void report(uint64_t received, std::optional<uint64_t> total) noexcept;

  TransferProgress* sink_;
  Clock::time_point (*now_)();
  std::optional<Clock::time_point> lastReport_;
  bool ended_ = false;
  std::chrono::milliseconds timeInReports_{0};
};

}  // namespace corvane
