#include "progress_view.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "kelvoma/kelvoma.h"

namespace kelvoma::app::terminal {
namespace {

constexpr double kRedrawInterval = 0.1;
constexpr int kBarWidth = 24;

std::string phaseText(std::int32_t phase) {
  switch (phase) {
    case KELVOMA_PHASE_DOWNLOADING:
      return "stahování";
    case KELVOMA_PHASE_UNPACKING:
      return "rozbalování";
    default:
      return "kontrola a výměna";
  }
}

std::string timeText(double seconds) {
  const auto whole = static_cast<long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
  return text;
}

}  // namespace

ProgressMode progressModeOf(bool quiet, bool terminal, const char* term) {
  if (quiet) {
    return ProgressMode::none;
  }
  const bool dumb = term == nullptr || std::strcmp(term, "dumb") == 0 || term[0] == '\0';
  return terminal && !dumb ? ProgressMode::bar : ProgressMode::lines;
}

std::string sizeText(std::uint64_t bytes) {
  static constexpr const char* kUnits[] = {"B", "kB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes);
  std::size_t unit = 0;
  while (value >= 1000 && unit + 1 < std::size(kUnits)) {
    value /= 1000;
    ++unit;
  }
  char text[32];
  if (unit == 0 || value >= 10) {
    std::snprintf(text, sizeof text, "%.0f %s", value, kUnits[unit]);
  } else {
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    if (char* point = std::strchr(text, '.')) {
      *point = ',';  // the Czech decimal comma
    }
  }
  return text;
}

std::string barLine(const std::string& name, std::uint64_t done, std::uint64_t total,
                    double bytesPerSecond) {
  const double fraction = total == 0 ? 0.0 : static_cast<double>(done) / static_cast<double>(total);
  const int filled = static_cast<int>(fraction * kBarWidth);
  std::string line = name + " " + std::to_string(static_cast<int>(fraction * 100)) + " % [" +
                     std::string(static_cast<std::size_t>(filled), '#') +
                     std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "] " +
                     sizeText(done) + " / " + sizeText(total);
  if (bytesPerSecond > 0) {
    line += "  " + sizeText(static_cast<std::uint64_t>(bytesPerSecond)) + "/s  zbývá " +
            timeText(static_cast<double>(total - done) / bytesPerSecond);
  }
  return line;
}

ProgressView::ProgressView(ProgressMode mode, std::string name,
                           std::function<void(const std::string&)> write)
    : mode_(mode), name_(std::move(name)), write_(std::move(write)) {}

void ProgressView::report(std::int32_t phase, std::uint64_t done, std::uint64_t total, double now) {
  if (mode_ == ProgressMode::none) {
    return;
  }
  const bool newPhase = phase_ != phase;
  if (newPhase) {
    phase_ = phase;
    phaseStart_ = now;
    quarter_ = 0;
  }
  if (mode_ == ProgressMode::lines) {
    if (newPhase) {
      write_(name_ + ": " + phaseText(phase) + "\n");
    }
    if (phase == KELVOMA_PHASE_DOWNLOADING && total > 0) {
      const int quarter = static_cast<int>(done * 4 / total);
      if (quarter > quarter_) {
        quarter_ = quarter;
        write_(name_ + ": staženo " + std::to_string(quarter * 25) + " % (" + sizeText(done) +
               " / " + sizeText(total) + ")\n");
      }
    }
    return;
  }
  // The bar: at most ten times a second, and always the phase's first and last.
  if (!newPhase && done != total && now - lastDraw_ < kRedrawInterval) {
    return;
  }
  lastDraw_ = now;
  std::string line;
  if (phase == KELVOMA_PHASE_DOWNLOADING && total > 0) {
    const double elapsed = now - phaseStart_;
    line = barLine(name_, done, total, elapsed > 0.2 ? static_cast<double>(done) / elapsed : 0);
  } else {
    line = name_ + " " + phaseText(phase) + "…";
  }
  write_("\r\x1b[K" + line);
  drawn_ = true;
}

void ProgressView::finish() {
  if (drawn_) {
    write_("\n");
    drawn_ = false;
  }
}

}  // namespace kelvoma::app::terminal
