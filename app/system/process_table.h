// Running applications found under /proc: processes whose executable lies in
// "<bundle>.app/Contents/MacOS/", identified by process id and start time.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform.h"

namespace kelvoma::app::system {

// The bundle folder of an executable path: everything before the last
// "/Contents/MacOS/" when the part before it ends in ".app" and the
// executable lies directly in MacOS; otherwise nothing.
std::optional<std::string> bundlePathOfExecutable(std::string_view executable);

// The start time (clock ticks since boot) and state letter of a process, from
// its stat file; nothing when the process is gone.
struct ProcessStat {
  std::uint64_t startTime = 0;
  char state = '?';
};
std::optional<ProcessStat> readProcessStat(const std::string& procRoot, int pid);

// Every live process running from inside a bundle, with the bundle's
// identifier from its Info.plist (empty when it has none). One pass over
// procRoot; processes that cannot be inspected are skipped.
std::vector<RunningApplication> runningApplications(const std::string& procRoot = "/proc");

// The same list, kept up to date cheaply for a caller that asks every second.
// Reading every process's executable link is most of a refresh's cost, and a
// process's executable changes only when it execs again: a process seen
// outside any bundle is not read again for up to `fullRescanSeconds`, unless
// its /proc entry is a new one (a reused id gets a new inode) or it still runs
// this program (our own launches, between fork and exec). Processes inside
// bundles are read afresh every time.
class ProcessTable {
 public:
  explicit ProcessTable(std::string procRoot = "/proc", double fullRescanSeconds = 5.0);

  // now: monotonic seconds, for the rescan period.
  std::vector<RunningApplication> scan(double now);
  std::size_t knownProcesses() const { return known_.size(); }

 private:
  struct Known {
    std::uint64_t inode = 0;
    std::optional<std::string> executable;
  };
  std::string procRoot_;
  double fullRescanSeconds_;
  double lastFullScan_ = 0;
  bool scannedOnce_ = false;
  std::string ownExecutable_;
  std::map<int, Known> known_;
};

// Whether the process is gone, a zombie, or another process under a reused id.
bool isTerminated(const RunningApplication& application, const std::string& procRoot = "/proc");

// Sends SIGTERM, only to the same process; never a forced kill.
void terminate(const RunningApplication& application, const std::string& procRoot = "/proc");

}  // namespace kelvoma::app::system
