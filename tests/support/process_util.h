// Looking at this test process's own children and descriptors.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kelvoma::testing {

// The processes (zombies included) whose parent is this process.
std::vector<pid_t> child_processes();

// Whether a process with this id exists at all (a zombie still does).
bool process_exists(pid_t pid);

// The descriptor numbers of `ls -l /proc/self/fd` output, leaving out the
// listing's own directory descriptor.
std::vector<int> listed_descriptors(const std::string& listing);

}  // namespace kelvoma::testing
