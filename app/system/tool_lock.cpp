#include "tool_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace kelvoma::app::system {

std::string ToolLock::pathFor(const std::string& toolId) {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
      runtime != nullptr && runtime[0] == '/') {
    return std::string(runtime) + "/kelvoma-" + toolId + ".lock";
  }
  return "/tmp/kelvoma-" + std::to_string(::getuid()) + "-" + toolId + ".lock";
}

std::optional<ToolLock> ToolLock::acquire(const std::string& toolId, double waitSeconds) {
  // No symbolic link is followed: in /tmp another user could have put one there.
  const int fd = ::open(pathFor(toolId).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    return std::nullopt;
  }
  ToolLock lock(fd);
  const int attempts = static_cast<int>(waitSeconds / 0.05) + 1;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      return lock;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      return std::nullopt;
    }
    ::usleep(50'000);
  }
  return std::nullopt;
}

ToolLock::ToolLock(ToolLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

ToolLock::~ToolLock() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

}  // namespace kelvoma::app::system
