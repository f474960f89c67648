// One installation of a tool at a time between processes of this user: an
// exclusive flock on a small file named after the tool in the runtime folder
// ($XDG_RUNTIME_DIR, else /tmp with the user id in the name). The lock goes
// with the process, so one that dies leaves nothing held.
#pragma once

#include <optional>
#include <string>

namespace kelvoma::app::system {

class ToolLock {
 public:
  // Tries for `waitSeconds` (every 50 ms); nothing when another process held
  // it all that time or the file cannot be opened.
  static std::optional<ToolLock> acquire(const std::string& toolId, double waitSeconds);
  ToolLock(ToolLock&& other) noexcept;
  ToolLock& operator=(ToolLock&&) = delete;
  ToolLock(const ToolLock&) = delete;
  ~ToolLock();

  static std::string pathFor(const std::string& toolId);

 private:
  explicit ToolLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace kelvoma::app::system
