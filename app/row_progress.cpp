#include "row_progress.h"

#include <algorithm>
#include <utility>

#include "kelvoma/kelvoma.h"

namespace kelvoma::app {

std::string megabytesText(std::uint64_t bytes) {
  const std::uint64_t tenths = bytes / 100'000;
  return std::to_string(tenths / 10) + "," + std::to_string(tenths % 10);
}

ProgressValue progressValueOf(const ProgressReport& report) {
  if (report.phase != KELVOMA_PHASE_DOWNLOADING || report.total == 0) {
    return {};
  }
  const std::uint64_t done = std::min(report.done, report.total);
  return ProgressValue{
      .fraction = static_cast<double>(done) / static_cast<double>(report.total),
      .text = megabytesText(done) + " MB z " + megabytesText(report.total) + " MB",
  };
}

std::optional<double> ProgressMailbox::post(const ProgressReport& report, double now) {
  const std::lock_guard lock(mutex_);
  latest_ = report;
  if (pending_) {
    return std::nullopt;
  }
  pending_ = true;
  return lastTaken_ ? std::max(0.0, *lastTaken_ + kProgressInterval - now) : 0.0;
}

std::optional<ProgressReport> ProgressMailbox::take(double now) {
  const std::lock_guard lock(mutex_);
  pending_ = false;
  lastTaken_ = now;
  return std::exchange(latest_, std::nullopt);
}

}  // namespace kelvoma::app
