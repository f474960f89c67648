// Writing the approved entries of an archive below a fresh folder held
// open. Every entry is made relative to a descriptor of its folder, and the
// folders on the way are opened beneath the destination without following
// any symbolic link, so nothing lands outside whatever the tree holds. The
// process's file-creation mask is only ever read: changing it would change
// it for every thread of the process meanwhile.
#pragma once

#include <sys/stat.h>
#include <time.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "verify/util/unique_fd.h"

namespace kelvoma {

// The process's file-creation mask, read without changing it: from
// /proc/self/status, else from the mode an unnamed file in the folder open
// as `folder_fd` gets, else 077, which widens nothing.
mode_t process_umask(int folder_fd);

// 0 when folders below the one open as `folder_fd` can be opened as the
// writer opens them (openat2, beneath it, no link followed), else the
// errno: a kernel before 5.6, or a filter that refuses the call.
int beneath_lookup_error(int folder_fd);

// An entry's times as its header gives them.
struct EntryTimes {
  std::optional<timespec> access;
  std::optional<timespec> modification;
};

// Entry names are normalised here ("a//./b/" is "a/b"); the caller has
// judged them already (contained, not below a link of the archive). Every
// call answers whether it succeeded; a failed writer is given up.
class EntryWriter {
 public:
  // `root_fd`: the destination, which outlives the writer; `umask`: the
  // bits taken from every mode.
  EntryWriter(int root_fd, mode_t umask) : root_fd_(root_fd), umask_(umask) {}

  // A folder of the archive: made (0700) unless an earlier entry made it;
  // its mode and times are applied by finish(), after its contents.
  bool add_folder(std::string_view name, mode_t mode, const EntryTimes& times);

  // A new regular file of mode 0600, open for writing; an earlier file of
  // the same name is replaced, as the last entry of a name wins. Empty on
  // failure (errno tells).
  UniqueFd add_file(std::string_view name);
  // Gives the written file its mode and times, and closes it.
  bool finish_file(UniqueFd file, mode_t mode, const EntryTimes& times);

  bool add_link(std::string_view name, const std::string& target, const EntryTimes& times);

  // Applies the folders' modes and times, the deepest first, so that a
  // folder without write or search permission is closed only once
  // nothing more is made in it.
  bool finish();

 private:
  struct FolderMode {
    mode_t mode;
    EntryTimes times;
  };

  // The folder `path` below the root, made (0700) with every missing
  // folder above it; -1 when it cannot be had.
  int folder(std::string_view path);
  int open_folder(std::string_view path);
  // The folder holding `name` and the name within it.
  std::pair<int, std::string> place(std::string_view name);

  int root_fd_;
  mode_t umask_;
  std::string open_path_;  // the folder last used, kept open
  UniqueFd open_fd_;
  std::map<std::string, FolderMode> folders_;  // made here, by path
};

}  // namespace kelvoma
