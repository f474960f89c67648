// An installation's progress on standard error: on a terminal one line
// redrawn in place (at most ten times a second), otherwise plain lines at
// each phase and each quarter of the download, or nothing at all.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace kelvoma::app::terminal {

enum class ProgressMode { bar, lines, none };

// A bar on a terminal that is not "dumb", lines elsewhere, none when quiet.
ProgressMode progressModeOf(bool quiet, bool terminal, const char* term);

// "1,5 MB", "340 kB", "12 B": decimal units, one decimal below ten.
std::string sizeText(std::uint64_t bytes);

// The bar's line for a download: percent, bar, done of total, rate and time
// left (when the rate is known).
std::string barLine(const std::string& name, std::uint64_t done, std::uint64_t total,
                    double bytesPerSecond);

class ProgressView {
 public:
  // write gets finished pieces of text for standard error.
  ProgressView(ProgressMode mode, std::string name, std::function<void(const std::string&)> write);
  // One report of the core at monotonic time `now`.
  void report(std::int32_t phase, std::uint64_t done, std::uint64_t total, double now);
  // Ends the bar's line, so that what follows starts on a line of its own.
  void finish();

 private:
  ProgressMode mode_;
  std::string name_;
  std::function<void(const std::string&)> write_;
  std::optional<std::int32_t> phase_;
  double phaseStart_ = 0;
  double lastDraw_ = -1;
  int quarter_ = 0;
  bool drawn_ = false;
};

}  // namespace kelvoma::app::terminal
