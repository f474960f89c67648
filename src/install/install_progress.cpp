#include "install/install_progress.h"

#include <algorithm>

namespace kelvoma {

InstallProgress::InstallProgress(ProgressCallback callback, void* context, Now now)
    : callback_(callback), context_(context), now_(now) {}

void InstallProgress::report(InstallPhase phase, std::uint64_t done, std::uint64_t total) {
  if (callback_ == nullptr || (started_ && phase < phase_)) {
    return;
  }
  const Clock::time_point at = now_();
  if (!started_ || phase > phase_) {
    started_ = true;
    phase_ = phase;
    total_ = total;
    done_ = 0;
    send(std::min(done, total_), at);
    return;
  }
  done = std::min(done, total_);
  const bool reaches_total = done == total_ && done_ < total_;
  if (done > done_ && (reaches_total || at - last_report_ >= report_interval)) {
    send(done, at);
  }
}

std::function<void(std::uint64_t, std::uint64_t)> InstallProgress::unpacking() {
  if (callback_ == nullptr) {
    return {};
  }
  return [this](std::uint64_t written, std::uint64_t declared) {
    report(InstallPhase::unpacking, written, declared);
  };
}

void InstallProgress::send(std::uint64_t done, Clock::time_point at) {
  done_ = done;
  last_report_ = at;
  callback_(context_, static_cast<std::int32_t>(phase_), done, total_);
}

ReportedDownload::ReportedDownload(BodySink& sink, InstallProgress& progress,
                                   std::uint64_t declared_size)
    : sink_(sink), progress_(progress), declared_size_(declared_size) {
  progress_.report(InstallPhase::downloading, 0, declared_size_);
}

void ReportedDownload::take(std::size_t count) {
  sink_.take(count);
  received_ += count;
  progress_.report(InstallPhase::downloading, received_, declared_size_);
}

}  // namespace kelvoma
