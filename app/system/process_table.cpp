#include "process_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

#include "kelvoma/bundle_program.h"
#include "property_list.h"
#include "whole_file.h"

namespace kelvoma::app::system {
namespace {

constexpr std::string_view kMacOS = "/Contents/MacOS/";
// A stat line is a few hundred bytes, however long the command name.
constexpr std::size_t kStatLimit = 4096;

struct DirClose {
  void operator()(DIR* directory) const { closedir(directory); }
};

std::optional<int> pidOf(const char* name) {
  int pid = 0;
  const char* end = name + std::char_traits<char>::length(name);
  const auto [at, error] = std::from_chars(name, end, pid);
  if (error != std::errc() || at != end || pid <= 0) {
    return std::nullopt;
  }
  return pid;
}

// Relative to an open procRoot, so that each lookup walks two names, not four:
// this runs for every process on the machine once a second.
// bundlesOnly: nothing for an executable outside any bundle, without making a
// string of it (a full reading passes over thousands of those).
std::optional<std::string> executableOf(int procFd, const char* pid, bool bundlesOnly = false) {
  char link[32];
  const int written = std::snprintf(link, sizeof link, "%s/exe", pid);
  if (written <= 0 || static_cast<std::size_t>(written) >= sizeof link) {
    return std::nullopt;
  }
  char target[4096];
  const ssize_t length = readlinkat(procFd, link, target, sizeof target);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) {
    return std::nullopt;
  }
  const std::string_view executable(target, static_cast<std::size_t>(length));
  if (bundlesOnly && executable.find(kMacOS) == std::string_view::npos) {
    return std::nullopt;
  }
  return std::string(executable);
}

}  // namespace

std::optional<std::string> bundlePathOfExecutable(std::string_view executable) {
  return bundle_program::bundle_of(executable);
}

std::optional<ProcessStat> readProcessStat(const std::string& procRoot, int pid) {
  const auto text = readWholeFile(procRoot + "/" + std::to_string(pid) + "/stat", kStatLimit);
  if (!text) {
    return std::nullopt;
  }
  // The command name may hold spaces and parentheses; fields follow the last ')'.
  const auto close = text->rfind(')');
  if (close == std::string::npos || close + 2 >= text->size()) {
    return std::nullopt;
  }
  ProcessStat stat;
  stat.state = (*text)[close + 2];
  // Field 3 is the state; the start time is field 22.
  std::size_t at = close + 2;
  for (int field = 3; field < 22; ++field) {
    at = text->find(' ', at);
    if (at == std::string::npos) {
      return std::nullopt;
    }
    ++at;
  }
  const char* begin = text->data() + at;
  const char* end = text->data() + text->size();
  if (std::from_chars(begin, end, stat.startTime).ec != std::errc()) {
    return std::nullopt;
  }
  return stat;
}

namespace {

// One running application from a process whose executable is known, or none.
std::optional<RunningApplication> applicationOf(const std::string& procRoot, int pid,
                                                const std::string& executable,
                                                std::map<std::string, std::string>& identifiers) {
  if (executable.find(kMacOS) == std::string::npos) {
    return std::nullopt;
  }
  auto bundle = bundlePathOfExecutable(executable);
  const auto stat = readProcessStat(procRoot, pid);
  if (!bundle || !stat || stat->state == 'Z' || stat->state == 'X') {
    return std::nullopt;
  }
  // Several processes of one bundle share its identifier: read each plist once.
  auto [known, inserted] = identifiers.try_emplace(*bundle);
  if (inserted) {
    const auto info = readBundleInfo(*bundle);
    known->second = info ? textOf(*info, "CFBundleIdentifier").value_or("") : "";
  }
  return RunningApplication{.pid = pid,
                            .startTime = stat->startTime,
                            .bundleIdentifier = known->second,
                            .bundlePath = std::move(*bundle)};
}

// Calls visit(pid, entry, procFd) for every process under procRoot.
template <typename Visit>
void forEachProcess(const std::string& procRoot, Visit&& visit) {
  const std::unique_ptr<DIR, DirClose> directory(opendir(procRoot.c_str()));
  while (const dirent* entry = directory ? readdir(directory.get()) : nullptr) {
    if (const auto pid = pidOf(entry->d_name)) {
      visit(*pid, *entry, dirfd(directory.get()));
    }
  }
}

}  // namespace

std::vector<RunningApplication> runningApplications(const std::string& procRoot) {
  std::vector<RunningApplication> found;
  std::map<std::string, std::string> identifiers;
  forEachProcess(procRoot, [&](int pid, const dirent& entry, int procFd) {
    if (const auto executable = executableOf(procFd, entry.d_name, true)) {
      if (auto application = applicationOf(procRoot, pid, *executable, identifiers)) {
        found.push_back(std::move(*application));
      }
    }
  });
  return found;
}

namespace {

constexpr double kFallbackRescanSeconds = 5.0;
// An open comes before the exec completes: look again at the first call at
// least this long after it (the next refresh).
constexpr double kLookAgainSeconds = 0.5;

std::vector<std::string> resolved(const std::vector<std::string>& bundlePaths) {
  std::vector<std::string> paths;
  for (const std::string& each : bundlePaths) {
    const std::unique_ptr<char, decltype(&std::free)> real(realpath(each.c_str(), nullptr),
                                                           &std::free);
    paths.push_back(real ? std::string(real.get()) : each);
  }
  return paths;
}

std::vector<RunningApplication> among(std::vector<RunningApplication> applications,
                                      const std::vector<std::string>& bundles) {
  std::erase_if(applications, [&](const RunningApplication& each) {
    return std::ranges::find(bundles, each.bundlePath) == bundles.end();
  });
  return applications;
}

}  // namespace

ProcessTable::ProcessTable(std::string procRoot, double fullScanSeconds)
    : procRoot_(std::move(procRoot)),
      fullScanSeconds_(fullScanSeconds),
      held_(std::make_unique<HeldProcesses>(procRoot_)) {
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self);
  if (length > 0 && static_cast<std::size_t>(length) < sizeof self) {
    ownExecutable_.assign(self, static_cast<std::size_t>(length));
  }
}

ProcessTable::~ProcessTable() = default;

std::vector<RunningApplication> ProcessTable::scan(double now) {
  auto found = readProcesses(true);
  if (watch_ && !watch_->failure() && scannedOnce_) {
    // As good as the safety net's reading.
    held_->holdOnly(among(found, watchedBundles_));
    lastFullScan_ = now;
  }
  return found;
}

std::vector<RunningApplication> ProcessTable::scan(const std::vector<std::string>& bundlePaths,
                                                   double now) {
  if (!watch_) {
    watch_ = std::make_unique<BundleWatch>();
  }
  const bool foldersChanged = watch_->arm(bundlePaths);
  const bool opened = watch_->drain();
  if (watch_->failure()) {
    if (!toldFallback_) {
      std::fprintf(stderr, "%s\n", watch_->failure()->c_str());
      toldFallback_ = true;
    }
    return rescanWithoutEvents(now);
  }
  // A tool that forks and whose parent then exits (as a tool started in the
  // background often does) raises no event of its own: any exit is a reason
  // to read every process once.
  readEveryProcess_ = lookNow(foldersChanged, opened, now) || held_->dropEnded();
  if (readEveryProcess_) {
    watchedBundles_ = resolved(bundlePaths);
    held_->holdOnly(among(runningApplications(procRoot_), watchedBundles_));
    lastFullScan_ = now;
    scannedOnce_ = true;
  }
  return held_->applications();
}

bool ProcessTable::lookNow(bool foldersChanged, bool opened, double now) {
  const bool again = lookAgainAfter_ && now >= *lookAgainAfter_;
  if (again) {
    lookAgainAfter_.reset();
  }
  if (foldersChanged || opened) {
    lookAgainAfter_ = now + kLookAgainSeconds;
  }
  return !scannedOnce_ || foldersChanged || opened || again ||
         now - lastFullScan_ >= fullScanSeconds_;
}

// Today's reading without events: processes seen outside bundles are read
// again only every few seconds.
std::vector<RunningApplication> ProcessTable::rescanWithoutEvents(double now) {
  const bool full = !scannedOnce_ || now - lastFullScan_ >= kFallbackRescanSeconds;
  if (full) {
    lastFullScan_ = now;
    scannedOnce_ = true;
  }
  readEveryProcess_ = true;
  return readProcesses(full);
}

std::vector<RunningApplication> ProcessTable::readProcesses(bool full) {
  std::vector<RunningApplication> found;
  std::map<int, Known> seen;
  std::map<std::string, std::string> identifiers;
  forEachProcess(procRoot_, [&](int pid, const dirent& entry, int procFd) {
    const std::uint64_t inode = entry.d_ino;
    const auto cached = known_.find(pid);
    Known current;
    if (!full && cached != known_.end() && cached->second.inode == inode) {
      current = std::move(cached->second);
    } else {
      current = {inode, executableOf(procFd, entry.d_name)};
    }
    if (current.executable) {
      if (auto application = applicationOf(procRoot_, pid, *current.executable, identifiers)) {
        found.push_back(std::move(*application));
      }
    }
    // Our own forked children may exec a tool at any moment: read them again.
    const bool settled = !current.executable || *current.executable != ownExecutable_;
    if (settled && (!current.executable || current.executable->find(kMacOS) == std::string::npos)) {
      seen.emplace(pid, std::move(current));
    }
  });
  known_ = std::move(seen);
  return found;
}

bool isTerminated(const RunningApplication& application, const std::string& procRoot) {
  const auto stat = readProcessStat(procRoot, application.pid);
  return !stat || stat->startTime != application.startTime || stat->state == 'Z' ||
         stat->state == 'X';
}

void terminate(const RunningApplication& application, const std::string& procRoot) {
  if (!isTerminated(application, procRoot)) {
    kill(application.pid, SIGTERM);
  }
}

}  // namespace kelvoma::app::system
