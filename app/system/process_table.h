// Running applications found under /proc: processes whose executable lies in
// "<bundle>.app/Contents/MacOS/", identified by process id and start time.
#pragma once

#include <cstdint>
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

// Whether the process is gone, a zombie, or another process under a reused id.
bool isTerminated(const RunningApplication& application, const std::string& procRoot = "/proc");

// Sends SIGTERM, only to the same process; never a forced kill.
void terminate(const RunningApplication& application, const std::string& procRoot = "/proc");

}  // namespace kelvoma::app::system
