// Running applications found under /proc: processes whose executable lies in
// "<bundle>.app/Contents/MacOS/" (or a processor's folder there), identified
// by process id and start time.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bundle_watch.h"
#include "held_processes.h"
#include "platform.h"

namespace kelvoma::app::system {

// The bundle folder of an executable path: everything before the last
// "/Contents/MacOS/" when the part before it ends in ".app" and the
// executable lies directly in MacOS or in a processor's folder there
// (kelvoma/bundle_program.h); otherwise nothing.
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

// The running applications, for a caller that asks every second about a few
// bundles (the tools' installed copies) while the machine may run thousands
// of processes.
//
// scan(bundles, now) learns of starts and exits as events instead of reading
// every process: inotify watches each bundle's "Contents/MacOS" (an exec opens
// the executable there), and each process found in a bundle is held by a pidfd
// (its exit is an event). After an open, every process is read at once and
// again at the following call, since the open comes before the exec has
// completed. Every process is read too when a held process has ended (its
// child may go on as the tool), at the first call, when the watched
// folders change (a bundle adopted, installed, removed, renamed or replaced),
// and every `fullScanSeconds` (240 s in production) as a safety net (one
// reading of 3,000 processes costs 5 to 12 ms, so that in idle the machine's
// processes add less than a fifth to the application's cost). Between
// those, a call costs a few system calls per bundle, whatever the number of
// processes. These notifications live inside this layer only: the controller
// still asks once a second and observes nothing itself.
//
// Without inotify (no instance left, the watch limit reached) the layer says
// so once on standard error and goes back to reading the processes: a process
// seen outside any bundle is not read again for up to 5 s unless its /proc
// entry is a new one (a reused id gets a new inode) or it still runs this
// program (our own launches, between fork and exec).
//
// scan(now) reads every process afresh, for the callers that must be exact
// (the stop callback before an update, a switch, a launch).
class ProcessTable {
 public:
  explicit ProcessTable(std::string procRoot = "/proc", double fullScanSeconds = 240.0);
  ~ProcessTable();
  ProcessTable(const ProcessTable&) = delete;
  ProcessTable& operator=(const ProcessTable&) = delete;

  // now: monotonic seconds, for the periods.
  std::vector<RunningApplication> scan(double now);
  // The processes running from inside these bundles (at least those).
  std::vector<RunningApplication> scan(const std::vector<std::string>& bundlePaths, double now);
  std::size_t knownProcesses() const { return known_.size(); }
  // Whether the last scan(bundles, now) read every process.
  bool readEveryProcess() const { return readEveryProcess_; }

 private:
  struct Known {
    std::uint64_t inode = 0;
    std::optional<std::string> executable;
  };
  std::vector<RunningApplication> readProcesses(bool full);
  std::vector<RunningApplication> rescanWithoutEvents(double now);
  bool lookNow(bool foldersChanged, bool opened, double now);

  std::string procRoot_;
  double fullScanSeconds_;
  double lastFullScan_ = 0;
  bool scannedOnce_ = false;
  std::string ownExecutable_;
  std::map<int, Known> known_;
  std::unique_ptr<BundleWatch> watch_;
  std::unique_ptr<HeldProcesses> held_;
  bool toldFallback_ = false;
  std::optional<double> lookAgainAfter_;
  std::vector<std::string> watchedBundles_;  // resolved, as at the last full reading
  bool readEveryProcess_ = false;
};

// Whether the process is gone, a zombie, or another process under a reused id.
bool isTerminated(const RunningApplication& application, const std::string& procRoot = "/proc");

// Sends SIGTERM, only to the same process; never a forced kill.
void terminate(const RunningApplication& application, const std::string& procRoot = "/proc");

}  // namespace kelvoma::app::system
