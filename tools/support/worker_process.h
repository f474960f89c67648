// Work whose files must not outlive a stopped command. SIGINT, SIGTERM and
// SIGHUP are blocked in this process and read from a signalfd while the work
// runs in a child process; a stop signal ends the child (SIGKILL), and the
// caller removes what the work wrote on its ordinary path before it ends by
// that signal. No signal handler runs and nothing global changes but the
// signal mask, which is restored.
#pragma once

#include <csignal>
#include <expected>
#include <functional>
#include <string>

namespace kelvoma::publish {

// SIGINT, SIGTERM and SIGHUP blocked for the object's life (the earlier mask
// comes back after). Make it before any thread starts: threads inherit it.
class StopSignalsBlocked {
 public:
  StopSignalsBlocked();
  ~StopSignalsBlocked();
  StopSignalsBlocked(const StopSignalsBlocked&) = delete;
  StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

 private:
  sigset_t earlier_{};
};

// How the work ended when it did not hand back its report.
struct WorkerStopped {
  int signal = 0;  // the stop signal this process received; 0: the worker itself failed
};

// Runs `work` in a child process (with the stop signals unblocked, ended by
// SIGKILL if this process dies first) and returns the text it returned.
// Call it with StopSignalsBlocked alive. The child never returns into the
// caller's code: it ends with _exit, so none of the caller's objects is
// destroyed (nor its work folder removed) twice.
std::expected<std::string, WorkerStopped> run_worker(const std::function<std::string()>& work);

// Ends this process by `signal` as if it had never been blocked (the exit
// status a shell or CI reads as "stopped by the signal").
[[noreturn]] void end_by_signal(int signal);

}  // namespace kelvoma::publish
