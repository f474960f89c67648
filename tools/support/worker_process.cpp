#include "support/worker_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <exception>

#include "install/files/file_io.h"
#include "verify/util/unique_fd.h"

namespace kelvoma::publish {
namespace {

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

// In the child: the work, its text through `out`, and the end. An exception
// leaves nothing on the pipe: the parent reports the worker's failure.
[[noreturn]] void run_child(const std::function<std::string()>& work, int out, pid_t parent) {
  (void)::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) {
    ::_exit(1);  // the parent went before the line above
  }
  const sigset_t set = stop_signals();
  (void)::sigprocmask(SIG_UNBLOCK, &set, nullptr);
  int status = 1;
  try {
    const std::string text = work();
    status = write_all(out, text) == 0 ? 0 : 1;
  } catch (const std::exception&) {
    status = 1;
  }
  ::_exit(status);
}

// The next stop signal waiting on `fd`, or 0.
int pending_signal(int fd) {
  signalfd_siginfo info{};
  return ::read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)
             ? static_cast<int>(info.ssi_signo)
             : 0;
}

int wait_for(pid_t child) {
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

}  // namespace

StopSignalsBlocked::StopSignalsBlocked() {
  const sigset_t set = stop_signals();
  (void)::pthread_sigmask(SIG_BLOCK, &set, &earlier_);
}

StopSignalsBlocked::~StopSignalsBlocked() {
  (void)::pthread_sigmask(SIG_SETMASK, &earlier_, nullptr);
}

std::expected<std::string, WorkerStopped> run_worker(const std::function<std::string()>& work) {
  const sigset_t set = stop_signals();
  const UniqueFd signals(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
  int ends[2];
  if (!signals || ::pipe2(ends, O_CLOEXEC) != 0) {
    return std::unexpected(WorkerStopped{});
  }
  UniqueFd from_child(ends[0]);
  UniqueFd to_parent(ends[1]);
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child < 0) {
    return std::unexpected(WorkerStopped{});
  }
  if (child == 0) {
    from_child.reset();
    run_child(work, to_parent.get(), parent);
  }
  to_parent.reset();
  std::string text;
  std::array<char, 4096> piece{};
  while (true) {
    pollfd waiting[2] = {{signals.get(), POLLIN, 0}, {from_child.get(), POLLIN, 0}};
    if (::poll(waiting, 2, -1) < 0 && errno != EINTR) {
      break;
    }
    if (const int signal = pending_signal(signals.get()); signal != 0) {
      ::kill(child, SIGKILL);
      wait_for(child);
      return std::unexpected(WorkerStopped{signal});
    }
    const ssize_t got = ::read(from_child.get(), piece.data(), piece.size());
    if (got > 0) {
      text.append(piece.data(), static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  const int status = wait_for(child);
  // A stop signal sent to the whole group may end the child before this
  // process has read it.
  if (const int signal = pending_signal(signals.get()); signal != 0) {
    return std::unexpected(WorkerStopped{signal});
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return std::unexpected(WorkerStopped{});
  }
  return text;
}

void end_by_signal(int signal) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  (void)::sigaction(signal, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  (void)::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  (void)::raise(signal);
  ::_exit(128 + signal);  // not reached: the signal ends the process
}

}  // namespace kelvoma::publish
