#include "fetch/command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <utility>

#include "verify/util/system_error.h"

extern char** environ;

namespace kelvoma {
namespace {

// posix_spawn's file actions, destroyed on every way out.
class SpawnActions {
 public:
  SpawnActions() {
    status_ = posix_spawn_file_actions_init(&actions_);
    initialised_ = status_ == 0;
  }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  ~SpawnActions() {
    if (initialised_) {
      posix_spawn_file_actions_destroy(&actions_);
    }
  }

  // The first failure sticks; later calls do nothing.
  void dup2(int fd, int target) {
    if (status_ == 0) {
      status_ = posix_spawn_file_actions_adddup2(&actions_, fd, target);
    }
  }
  void open_null(int target) {
    if (status_ == 0) {
      status_ = posix_spawn_file_actions_addopen(&actions_, target, "/dev/null",
                                                 target == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    }
  }
  void close_from(int first) {
    if (status_ == 0) {
      status_ = posix_spawn_file_actions_addclosefrom_np(&actions_, first);
    }
  }

  int status() const { return status_; }
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  int status_ = 0;
  bool initialised_ = false;
};

// posix_spawn's attributes: the child starts with an empty signal mask and
// every signal at its default, whatever the calling thread has blocked or
// the process ignores (an ignored SIGPIPE would otherwise carry over).
class SpawnAttributes {
 public:
  SpawnAttributes() {
    status_ = posix_spawnattr_init(&attributes_);
    initialised_ = status_ == 0;
    if (status_ != 0) {
      return;
    }
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    status_ = posix_spawnattr_setsigmask(&attributes_, &none);
    if (status_ == 0) {
      status_ = posix_spawnattr_setsigdefault(&attributes_, &all);
    }
    if (status_ == 0) {
      status_ =
          posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  ~SpawnAttributes() {
    if (initialised_) {
      posix_spawnattr_destroy(&attributes_);
    }
  }

  int status() const { return status_; }
  const posix_spawnattr_t* get() const { return &attributes_; }

 private:
  posix_spawnattr_t attributes_{};
  int status_ = 0;
  bool initialised_ = false;
};

struct PipeEnds {
  UniqueFd read;
  UniqueFd write;
};

std::expected<PipeEnds, int> make_pipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return std::unexpected(errno);
  }
  return PipeEnds{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// Connects the child's descriptor `target` as `stream` says; a pipe's read
// end goes to `read_end`, its write end into `keep_until_spawned`.
int connect_stream(Stream stream, int target, SpawnActions& actions, UniqueFd& read_end,
                   UniqueFd& keep_until_spawned) {
  switch (stream) {
    case Stream::inherit:
      return 0;
    case Stream::null_device:
      actions.open_null(target);
      return 0;
    case Stream::pipe: {
      auto ends = make_pipe();
      if (!ends) {
        return ends.error();
      }
      actions.dup2(ends->write.get(), target);
      read_end = std::move(ends->read);
      keep_until_spawned = std::move(ends->write);
      return 0;
    }
  }
  return EINVAL;
}

std::vector<char*> argument_vector(const Command& command) {
  std::vector<char*> argv;
  argv.reserve(command.arguments.size() + 2);
  argv.push_back(const_cast<char*>(command.program.c_str()));
  for (const std::string& argument : command.arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  return argv;
}

// Reads both descriptors until each reports its end, whichever is ready
// first, so that a child writing much to one of them never blocks. The
// bytes are dropped. Returns 0 or the errno of a failed poll or read.
int drain_concurrently(int first, int second) {
  std::array<char, 65536> sink;
  std::array<pollfd, 2> fds{{{first, POLLIN, 0}, {second, POLLIN, 0}}};
  int open = 2;
  while (open > 0) {
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno;
    }
    for (pollfd& entry : fds) {
      if (entry.fd < 0 || entry.revents == 0) {
        continue;
      }
      const ssize_t count = read(entry.fd, sink.data(), sink.size());
      if (count < 0 && errno != EINTR && errno != EAGAIN) {
        return errno;
      }
      if (count == 0) {
        entry.fd = -1;  // poll skips negative descriptors
        --open;
      }
    }
  }
  return 0;
}

}  // namespace

std::expected<ChildProcess, std::string> ChildProcess::start(const Command& command,
                                                             StreamSetup streams) {
  SpawnActions actions;
  SpawnAttributes attributes;
  if (actions.status() != 0) {
    return std::unexpected(system_error_text(actions.status()));
  }
  if (attributes.status() != 0) {
    return std::unexpected(system_error_text(attributes.status()));
  }

  ChildProcess child;
  UniqueFd output_write;
  UniqueFd error_write;
  UniqueFd unused;
  const Stream input = streams.input == Stream::pipe ? Stream::null_device : streams.input;
  int status = connect_stream(input, STDIN_FILENO, actions, unused, unused);
  if (status == 0) {
    status = connect_stream(streams.output, STDOUT_FILENO, actions, child.output_, output_write);
  }
  if (status == 0) {
    status = connect_stream(streams.error, STDERR_FILENO, actions, child.error_, error_write);
  }
  // Our own descriptors are close-on-exec, but a library or another thread
  // may have opened one without the flag: close everything else anyway.
  actions.close_from(STDERR_FILENO + 1);
  if (status == 0) {
    status = actions.status();
  }
  if (status != 0) {
    return std::unexpected(system_error_text(status));
  }

  std::vector<char*> argv = argument_vector(command);
  pid_t pid = -1;
  status = posix_spawn(&pid, command.program.c_str(), actions.get(), attributes.get(), argv.data(),
                       environ);
  if (status != 0) {
    return std::unexpected(system_error_text(status));
  }
  child.pid_ = pid;
  // The write ends close here: from now on only the child holds them, so
  // the read ends see end of file when it is gone.
  return child;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      output_(std::move(other.output_)),
      error_(std::move(other.error_)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    abandon();
    pid_ = std::exchange(other.pid_, -1);
    output_ = std::move(other.output_);
    error_ = std::move(other.error_);
  }
  return *this;
}

ChildProcess::~ChildProcess() { abandon(); }

void ChildProcess::abandon() {
  kill();
  if (pid_ > 0) {
    (void)wait();
  }
  output_.reset();
  error_.reset();
}

void ChildProcess::kill() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
  }
}

std::expected<int, int> ChildProcess::wait() {
  if (pid_ <= 0) {
    return std::unexpected(ECHILD);
  }
  int status = 0;
  pid_t result;
  do {
    result = waitpid(pid_, &status, 0);
  } while (result < 0 && errno == EINTR);
  // Whatever the outcome, the id is no longer ours to signal.
  pid_ = -1;
  if (result < 0) {
    return std::unexpected(errno);
  }
  return status;
}

bool exited_successfully(int wait_status) {
  return WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0;
}

int read_to_end(int fd, std::string& out) {
  std::array<char, 65536> chunk;
  for (;;) {
    const ssize_t count = read(fd, chunk.data(), chunk.size());
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno;
    }
    if (count == 0) {
      return 0;
    }
    out.append(chunk.data(), static_cast<std::size_t>(count));
  }
}

std::expected<void, std::string> run_command(const Command& command,
                                             std::string_view failure_message) {
  auto child = ChildProcess::start(command, StreamSetup{});
  if (!child) {
    return std::unexpected(child.error());
  }
  if (const int error = drain_concurrently(child->output().get(), child->error().get());
      error != 0) {
    return std::unexpected(system_error_text(error));  // the child is killed and reaped
  }
  child->output().reset();
  child->error().reset();
  const auto status = child->wait();
  if (!status) {
    return std::unexpected(system_error_text(status.error()));
  }
  if (!exited_successfully(*status)) {
    return std::unexpected(std::string(failure_message));
  }
  return {};
}

}  // namespace kelvoma
