// The scheduler part of the Qt platform: timers and posted work on the main
// thread's event loop, and a pool of workers for the core's calls.
#pragma once

#include <QObject>
#include <QThreadPool>
#include <QTimer>
#include <atomic>
#include <functional>
#include <map>
#include <memory>

#include "platform.h"

namespace kelvoma::app::qt {

class QtScheduler : public Scheduler {
 public:
  QtScheduler();
  ~QtScheduler() override;
  QtScheduler(const QtScheduler&) = delete;
  QtScheduler& operator=(const QtScheduler&) = delete;

  // Whether a worker still runs a core call.
  bool hasRunningWork() const { return runningWork_.load() > 0; }
  // Waits until no worker runs, then delivers what they handed to the main thread.
  void waitForWorkers();

  TimerId scheduleRepeatingTimer(double seconds, TimerModes modes,
                                 std::function<void()> tick) override;
  void invalidateTimer(TimerId timer) override;
  void runOnMainAfter(double seconds, std::function<void()> work) override;
  void runOnMain(std::function<void()> work) override;
  void runOnMainAndWait(std::function<void()> work) override;
  void runOnWorker(std::function<void()> work) override;
  double uptime() override;
  void sleepFor(double seconds) override;
  LocalTime localTime() override;

 private:
  QObject mainThread_;  // the receiver of work for the main thread
  std::map<TimerId, std::unique_ptr<QTimer>> timers_;
  TimerId lastTimer_ = 0;
  QThreadPool* workers_;  // never waited for at exit: a running check must not hold it up
  std::atomic<int> runningWork_{0};
};

}  // namespace kelvoma::app::qt
