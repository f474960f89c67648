// An installation's progress as the window shows it: what one report of the
// core looks like in the row's progress bar, and the mailbox that carries
// reports from the installing worker to the main thread, at most ten a second.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "ui_model.h"

namespace kelvoma::app {

// One report of the core: its phase (KELVOMA_PHASE_*) and bytes done of total.
struct ProgressReport {
  std::int32_t phase = 0;
  std::uint64_t done = 0;
  std::uint64_t total = 0;
  bool operator==(const ProgressReport&) const = default;
};

// A determinate bar with "<done> MB z <total> MB" while downloading (MB of
// 10^6 bytes, one decimal, Czech comma); a busy bar with no text otherwise.
ProgressValue progressValueOf(const ProgressReport& report);
// Bytes as megabytes of 10^6 bytes with one decimal, rounded down: "104,8".
std::string megabytesText(std::uint64_t bytes);

inline constexpr double kProgressInterval = 0.1;  // seconds between two deliveries

// Thread-safe. The worker posts every report; the main thread takes the
// latest one when its delivery falls due. Reports posted between two
// deliveries collapse into the latest.
class ProgressMailbox {
 public:
  // now: monotonic seconds. The delay after which a delivery must take the
  // report, or nothing when a delivery is already on its way.
  std::optional<double> post(const ProgressReport& report, double now);
  // The latest report not yet taken, if any.
  std::optional<ProgressReport> take(double now);

 private:
  std::mutex mutex_;
  std::optional<ProgressReport> latest_;
  bool pending_ = false;
  std::optional<double> lastTaken_;
};

}  // namespace kelvoma::app
