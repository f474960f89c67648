// Removing a tree of files below a folder held open, by descriptor.
#pragma once

#include <string>
#include <vector>

namespace kelvoma {

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
