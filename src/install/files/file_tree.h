// Files below a folder held open, by descriptor: opening them with no link
// followed, and removing trees of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvoma {

// Opens `path` below the folder open as `folder_fd` with `flags` (O_NOFOLLOW
// and O_CLOEXEC added): no symbolic link is followed on the way or at its
// end, and no step leads out of the folder (openat2 with RESOLVE_BENEATH and
// RESOLVE_NO_SYMLINKS). The descriptor, or -1 with errno set (ENOSYS before
// Linux 5.6).
int open_beneath(int folder_fd, const std::string& path, std::uint64_t flags);

// Removes the entry `name` of the folder open as `parent_fd`: a file or a
// symbolic link is unlinked, a folder emptied first and then removed. A
// symbolic link is never followed and no other file system is entered (a
// mount point inside stays, and so do the folders above it). A folder that
// its owner may not read or change is made so first. One descriptor is held
// whatever the depth. Best effort: returns whether the entry is gone.
bool remove_tree(int parent_fd, const std::string& name);

// The names in the folder open as `directory_fd`, without "." and "..";
// empty when it cannot be read.
std::vector<std::string> folder_names(int directory_fd);

}  // namespace kelvoma
