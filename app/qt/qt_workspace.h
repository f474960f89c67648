// The workspace part of the platform: the processes that run from inside an
// application bundle (from /proc), their polite end, and launching a bundle.
#pragma once

#include <string>
#include <vector>

#include "platform.h"
#include "system/process_table.h"

namespace kelvoma::app::qt {

class QtWorkspace : public Workspace {
 public:
  // files resolves links and gives the home folder; scheduler the clock and
  // the main thread the launch completion is delivered on.
  QtWorkspace(std::string procRoot, Files& files, Scheduler& scheduler);

  std::vector<RunningApplication> runningApplications() override;
  // The refresh's question: answered from what the table has learnt.
  std::vector<RunningApplication> runningApplicationsIn(
      const std::vector<std::string>& bundlePaths) override {
    return processes_.scan(bundlePaths, scheduler_.uptime());
  }
  bool isTerminated(const RunningApplication& application) override;
  void terminateApplication(const RunningApplication& application) override;
  void openApplication(const std::string& bundlePath, const LaunchConfiguration& config,
                       std::function<void(LaunchResult)> completion) override;

 private:
  LaunchResult launch(const std::string& bundlePath, const LaunchConfiguration& config);

  std::string procRoot_;
  Files& files_;
  Scheduler& scheduler_;
  system::ProcessTable processes_;
};

}  // namespace kelvoma::app::qt
