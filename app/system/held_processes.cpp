#include "held_processes.h"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "process_table.h"

namespace kelvoma::app::system {
namespace {

int openPidfd(int pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

}  // namespace

HeldProcesses::~HeldProcesses() {
  for (Held& each : held_) {
    release(each);
  }
}

void HeldProcesses::release(Held& held) {
  if (held.pidfd >= 0) {
    close(held.pidfd);
    held.pidfd = -1;
  }
}

void HeldProcesses::holdOnly(const std::vector<RunningApplication>& applications) {
  std::vector<Held> next;
  for (const RunningApplication& application : applications) {
    const auto already = std::ranges::find(held_, application, &Held::application);
    if (already != held_.end()) {
      next.push_back(std::exchange(*already, Held{}));
      continue;
    }
    Held fresh{.application = application, .pidfd = openPidfd(application.pid)};
    if (fresh.pidfd < 0 && errno == ESRCH) {
      continue;
    }
    // Opened after the listing: only the same start time proves it is the
    // same process and not a newcomer under a reused id.
    if (isTerminated(application, procRoot_)) {
      release(fresh);
      continue;
    }
    next.push_back(std::move(fresh));
  }
  for (Held& each : held_) {
    release(each);
  }
  held_ = std::move(next);
}

bool HeldProcesses::dropEnded() {
  std::vector<pollfd> waits;
  for (const Held& each : held_) {
    waits.push_back({.fd = each.pidfd, .events = POLLIN, .revents = 0});
  }
  // Negative descriptors are skipped by poll; those are read from /proc.
  if (!waits.empty() && poll(waits.data(), waits.size(), 0) < 0) {
    return false;
  }
  std::vector<Held> alive;
  for (std::size_t i = 0; i < held_.size(); ++i) {
    const bool ended =
        held_[i].pidfd >= 0 ? waits[i].revents != 0 : isTerminated(held_[i].application, procRoot_);
    if (ended) {
      release(held_[i]);
    } else {
      alive.push_back(std::exchange(held_[i], Held{}));
    }
  }
  const bool anyEnded = alive.size() != held_.size();
  held_ = std::move(alive);
  return anyEnded;
}

std::vector<RunningApplication> HeldProcesses::applications() const {
  std::vector<RunningApplication> listed;
  listed.reserve(held_.size());
  for (const Held& each : held_) {
    listed.push_back(each.application);
  }
  return listed;
}

}  // namespace kelvoma::app::system
