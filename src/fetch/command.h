// Running system programs as child processes: by absolute path, with an
// argument vector (never a shell), the environment inherited, and always
// waited for before returning.
//
// Children inherit nothing but their three standard streams (every other
// descriptor is closed in the child whatever its close-on-exec flag), start
// with an empty signal mask and default signal dispositions, and are owned
// by a ChildProcess that kills and reaps them if its owner returns early.
#pragma once

#include <sys/types.h>

#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "verify/util/unique_fd.h"

namespace kelvoma {

struct Command {
  std::string program;                 // absolute path, no PATH search
  std::vector<std::string> arguments;  // without the program name
};

// Runs `command` to completion with standard input from the null device and
// both output streams drained concurrently and discarded. A program that
// cannot be started, or a failed wait, gives the system error text; any end
// but exit status 0 gives `failure_message`.
std::expected<void, std::string> run_command(const Command& command,
                                             std::string_view failure_message);

// Where a child's standard stream goes.
enum class Stream {
  inherit,      // the caller's own descriptor of that number
  null_device,  // /dev/null
  pipe,         // a pipe whose other end the ChildProcess holds
};

struct StreamSetup {
  Stream input = Stream::null_device;  // Stream::pipe is not offered for input
  Stream output = Stream::pipe;
  Stream error = Stream::pipe;
};

// A started child process. Until wait() has succeeded the destructor sends
// SIGKILL and reaps the child, so a child never outlives its owner.
class ChildProcess {
 public:
  // Starts `command`. The error is the system error text (a missing program
  // gives "No such file or directory (os error 2)").
  static std::expected<ChildProcess, std::string> start(const Command& command,
                                                        StreamSetup streams);

  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  pid_t pid() const { return pid_; }
  // Read ends of the piped streams; empty unless that stream is Stream::pipe.
  UniqueFd& output() { return output_; }
  UniqueFd& error() { return error_; }

  // SIGKILL, unless the child has already been waited for.
  void kill();
  // Waits for the end of the child (interrupted waits are retried) and
  // returns its wait status, or the errno of a failed wait.
  std::expected<int, int> wait();

 private:
  ChildProcess() = default;
  void abandon();

  pid_t pid_ = -1;  // -1 once waited for
  UniqueFd output_;
  UniqueFd error_;
};

// Whether a wait status is a normal exit with status 0.
bool exited_successfully(int wait_status);

// Reads `fd` to its end, appending to `out`; interrupted reads are retried.
// Returns 0, or the errno of a failed read.
int read_to_end(int fd, std::string& out);

}  // namespace kelvoma
