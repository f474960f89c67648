// How far one installation is, told to the caller while it runs: the phase,
// and bytes done of a total within it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "fetch/fetch.h"
#include "kelvoma/kelvoma.h"

namespace kelvoma {

enum class InstallPhase : std::int32_t {
  downloading = KELVOMA_PHASE_DOWNLOADING,
  unpacking = KELVOMA_PHASE_UNPACKING,
  checking = KELVOMA_PHASE_CHECKING,
};

// Passes reports on to a ProgressCallback, on the thread that makes them,
// with the rules the C interface promises: phases only move forward and each
// is reported as soon as it starts (done 0 of its total); within a phase,
// `done` is held non-decreasing and at most the phase's total, and is passed
// on only once `report_interval` has passed since the last report, or when
// it first reaches the total. Without a callback every report costs one
// test of a pointer.
class InstallProgress {
 public:
  using Clock = std::chrono::steady_clock;
  using Now = Clock::time_point (*)();
  static constexpr Clock::duration report_interval = std::chrono::milliseconds(100);

  // `now`: the clock (tests pass a fake one).
  InstallProgress(ProgressCallback callback, void* context, Now now = &Clock::now);

  // `done` of `total` in `phase`. A phase later than the current one starts
  // it, with `total` as its total from then on; an earlier one is ignored.
  void report(InstallPhase phase, std::uint64_t done, std::uint64_t total);

  // The unpacking phase, in the form unpack_archive reports it (empty
  // without a callback, so that unpacking does no work for it).
  std::function<void(std::uint64_t written, std::uint64_t declared)> unpacking();

 private:
  void send(std::uint64_t done, Clock::time_point at);

  ProgressCallback callback_;
  void* context_;
  Now now_;
  bool started_ = false;
  InstallPhase phase_ = InstallPhase::downloading;
  std::uint64_t total_ = 0;
  std::uint64_t done_ = 0;  // the last `done` passed on
  Clock::time_point last_report_{};
};

// Passes the body of the archive's download on to `sink` and reports the
// bytes received of the archive's declared size. Constructing it starts the
// downloading phase.
class ReportedDownload final : public BodySink {
 public:
  ReportedDownload(BodySink& sink, InstallProgress& progress, std::uint64_t declared_size);

  std::span<std::uint8_t> space() override { return sink_.space(); }
  void take(std::size_t count) override;

 private:
  BodySink& sink_;
  InstallProgress& progress_;
  std::uint64_t declared_size_;
  std::uint64_t received_ = 0;
};

}  // namespace kelvoma
