#include "install/files/file_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string_view>

#include "verify/util/unique_fd.h"

namespace kelvoma {

int open_beneath(int folder_fd, const std::string& path, std::uint64_t flags) {
  open_how how{};
  how.flags = flags | O_NOFOLLOW | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  for (;;) {
    // EAGAIN: a rename elsewhere on the system raced the lookup.
    const long fd = ::syscall(SYS_openat2, folder_fd, path.c_str(), &how, sizeof how);
    if (fd >= 0 || errno != EAGAIN) {
      return static_cast<int>(fd);
    }
  }
}
namespace {

struct ClosesListing {
  void operator()(DIR* listing) const { ::closedir(listing); }
};

// One folder on the way down: how its parent names it, what it is, and the
// names in it still to be removed. Only the folder being emptied is held
// open, so a tree of any depth costs one descriptor; the way back up goes
// through "..", checked against the identity recorded on the way down.
struct Level {
  std::string name;
  ino_t inode;
  std::vector<std::string> pending;
};

// The folder `name` in `parent_fd`, opened without following a link, made
// readable and writable for its owner when it was not, and only when it is
// still the folder `expected` describes and lies on `device`.
UniqueFd enter(int parent_fd, const std::string& name, const struct stat& expected, dev_t device) {
  const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  UniqueFd directory(::openat(parent_fd, name.c_str(), flags));
  if (!directory && errno == EACCES) {
    // A folder unpacked without read permission for its owner.
    if (::fchmodat(parent_fd, name.c_str(), S_IRWXU, 0) == 0) {
      directory = UniqueFd(::openat(parent_fd, name.c_str(), flags));
    }
  }
  struct stat info {};
  if (!directory || ::fstat(directory.get(), &info) != 0 || info.st_dev != device ||
      info.st_dev != expected.st_dev || info.st_ino != expected.st_ino) {
    return {};
  }
  // Its entries can only go once it is writable.
  if ((info.st_mode & S_IRWXU) != S_IRWXU && ::fchmod(directory.get(), S_IRWXU) != 0) {
    return {};
  }
  return directory;
}

// The folder above `current`, when it is still the one we came down from.
UniqueFd climb(int current, ino_t inode, dev_t device) {
  UniqueFd above(::openat(current, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat info {};
  if (!above || ::fstat(above.get(), &info) != 0 || info.st_dev != device || info.st_ino != inode) {
    return {};
  }
  return above;
}

// Empties the folder `top` of `parent_fd` level by level; false when the
// way back up was lost (something moved a folder meanwhile).
bool empty_folder(int parent_fd, const std::string& top, const struct stat& top_info) {
  const dev_t device = top_info.st_dev;
  UniqueFd current = enter(parent_fd, top, top_info, device);
  if (!current) {
    return true;
  }
  std::vector<Level> levels;
  levels.push_back({.name = top, .inode = top_info.st_ino, .pending = folder_names(current.get())});
  while (!levels.empty()) {
    Level& level = levels.back();
    if (!level.pending.empty()) {
      const std::string name = std::move(level.pending.back());
      level.pending.pop_back();
      struct stat info {};
      if (::unlinkat(current.get(), name.c_str(), 0) == 0 || errno != EISDIR ||
          ::fstatat(current.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        continue;
      }
      // A mount point inside is another device: it stays, and so do the
      // folders above it.
      UniqueFd below = enter(current.get(), name, info, device);
      if (below) {
        std::vector<std::string> names = folder_names(below.get());
        current = std::move(below);
        levels.push_back({.name = name, .inode = info.st_ino, .pending = std::move(names)});
      }
      continue;
    }
    const std::string emptied = std::move(level.name);
    levels.pop_back();
    if (levels.empty()) {
      break;
    }
    current = climb(current.get(), levels.back().inode, device);
    if (!current) {
      return false;
    }
    (void)::unlinkat(current.get(), emptied.c_str(), AT_REMOVEDIR);
  }
  return true;
}

}  // namespace

std::vector<std::string> folder_names(int directory_fd) {
  std::vector<std::string> names;
  UniqueFd listing_fd(::openat(directory_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!listing_fd) {
    return names;
  }
  const std::unique_ptr<DIR, ClosesListing> listing(::fdopendir(listing_fd.get()));
  if (!listing) {
    return names;
  }
  (void)listing_fd.release();  // the listing owns it now
  while (const dirent* entry = ::readdir(listing.get())) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") {
      names.emplace_back(name);
    }
  }
  return names;
}

bool remove_tree(int parent_fd, const std::string& name) {
  struct stat info {};
  if (::fstatat(parent_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT;
  }
  if (!S_ISDIR(info.st_mode)) {
    (void)::unlinkat(parent_fd, name.c_str(), 0);
  } else if (empty_folder(parent_fd, name, info)) {
    (void)::unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR);
  }
  return ::fstatat(parent_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
}

}  // namespace kelvoma
