#include "transfer/progress_report.h"

namespace corvane {

ProgressReport::ProgressReport(TransferProgress* sink, Clock::time_point (*now)()) noexcept
    : sink_(sink), now_(now) {}

void ProgressReport::arrived(uint64_t received, std::optional<uint64_t> total) noexcept {
  if (sink_ == nullptr || ended_) return;
  // The interval runs from the end of the last report, so a slow sink is not called again
  // at once.
  if (lastReport_ && now_() - *lastReport_ < kInterval) return;
  report(received, total);
}

void ProgressReport::ended(uint64_t received, std::optional<uint64_t> total) noexcept {
  if (sink_ == nullptr || ended_) return;
  ended_ = true;
  report(received, total);
}

void ProgressReport::report(uint64_t received, std::optional<uint64_t> total) noexcept {
  timeInReports_ += sink_->bytesArrived(received, total);
  lastReport_ = now_();
}

}  // namespace corvane
