// Which mount holds a path, from the process's own mount table
// (/proc/self/mountinfo), bind mounts included: the mount point is where
// that file system's trash belongs, and two paths on different mounts cannot
// be renamed into each other even when they share a device.
#pragma once

#include <optional>
#include <string>

namespace kelvoma::app::system {

struct Mount {
  int id = 0;
  std::string point;  // where it is mounted, as this process sees it
};

// The mount that holds path, which must already be resolved (absolute, no
// links, no "." or ".."): the one with the longest mount point above it, the
// last mounted when several share that point. Nothing when the table cannot
// be read.
std::optional<Mount> mountHolding(const std::string& resolvedPath,
                                  const std::string& table = "/proc/self/mountinfo");

}  // namespace kelvoma::app::system
