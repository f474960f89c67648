#include "releases/install_recovery.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <utility>
#include <vector>

#include "releases/bundle.h"
#include "releases/file_tree.h"
#include "releases/install_directory.h"
#include "releases/install_paths.h"
#include "releases/unique_fd.h"

namespace kelvoma {
namespace {

const std::string backup_name(backup_entry_name);
const std::string discarded_name(discarded_entry_name);

// A folder beside the target, held with its flock.
struct AbandonedFolder {
  UniqueFd fd;
  std::string name;
};

// The path of `name` inside the folder open as `fd`, so that what is read
// there is what was opened, whatever happened to the folder's own name.
std::string entry_of(int fd, const std::string& name) {
  return "/proc/self/fd/" + std::to_string(fd) + "/" + name;
}

bool same_file(const struct stat& left, const struct stat& right) {
  return left.st_dev == right.st_dev && left.st_ino == right.st_ino;
}

// This tool's "previous.app" in the folder, if that is what it holds.
std::optional<struct stat> backup_of_tool(const AbandonedFolder& folder,
                                          const std::string& bundle_id) {
  struct stat info {};
  if (::fstatat(folder.fd.get(), backup_name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISDIR(info.st_mode)) {
    return std::nullopt;
  }
  const auto identity = read_bundle_identity(entry_of(folder.fd.get(), backup_name));
  if (!identity || identity->identifier != bundle_id) {
    return std::nullopt;
  }
  return info;
}

bool has_backup(const AbandonedFolder& folder) {
  struct stat info {};
  return ::fstatat(folder.fd.get(), backup_name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 ||
         errno != ENOENT;
}

enum class Target { missing, tools_bundle, other };

// Only a real folder that carries the tool's identifier, and is not the
// backup itself seen through a mount, makes the backup needless; a link to
// the backup, a folder that a sync client put there, anything unreadable
// does not.
Target judge_target(int parent_fd, const std::string& name, const std::string& bundle_id,
                    const struct stat& backup) {
  struct stat before {};
  if (::fstatat(parent_fd, name.c_str(), &before, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? Target::missing : Target::other;
  }
  if (!S_ISDIR(before.st_mode) || same_file(before, backup)) {
    return Target::other;
  }
  const auto identity = read_bundle_identity(entry_of(parent_fd, name));
  struct stat after {};
  if (!identity || identity->identifier != bundle_id ||
      ::fstatat(parent_fd, name.c_str(), &after, AT_SYMLINK_NOFOLLOW) != 0 ||
      !same_file(before, after)) {
    return Target::other;
  }
  return Target::tools_bundle;
}

// Opened without following a symbolic link and locked without waiting: a
// folder that some call holds is in use.
std::optional<AbandonedFolder> open_abandoned(int parent_fd, const std::string& name) {
  UniqueFd fd(::openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    return std::nullopt;
  }
  return AbandonedFolder{.fd = std::move(fd), .name = name};
}

// The abandoned folders, each locked, gathered while the parent's lock
// keeps new folders from being seen between their creation and their lock.
// The parent's lock is given up before the slow work.
std::vector<AbandonedFolder> abandoned_folders(int parent_fd) {
  std::vector<AbandonedFolder> folders;
  if (!try_lock(parent_fd, LOCK_EX)) {
    return folders;
  }
  for (const std::string& name : folder_names(parent_fd)) {
    if (name.starts_with(install_directory_prefix)) {
      if (auto folder = open_abandoned(parent_fd, name)) {
        folders.push_back(std::move(*folder));
      }
    }
  }
  (void)::flock(parent_fd, LOCK_UN);
  return folders;
}

enum class Verdict { keep, remove, put_back };

Verdict judge(const AbandonedFolder& folder, int parent_fd, const std::string& target_name,
              const std::string& bundle_id) {
  if (!has_backup(folder)) {
    return Verdict::remove;
  }
  const auto backup = backup_of_tool(folder, bundle_id);
  if (!backup) {
    return Verdict::keep;
  }
  switch (judge_target(parent_fd, target_name, bundle_id, *backup)) {
    case Target::missing:
      return Verdict::put_back;
    case Target::tools_bundle:
      return Verdict::remove;
    case Target::other:
      return Verdict::keep;
  }
  return Verdict::keep;
}

// Whether the backup is back at the target.
bool put_back(const AbandonedFolder& folder, int parent_fd, const std::string& target_name) {
  if (::renameat2(folder.fd.get(), backup_name.c_str(), parent_fd, target_name.c_str(),
                  RENAME_NOREPLACE) != 0) {
    return false;
  }
  (void)::fsync(parent_fd);
  return true;
}

// A backup is renamed away before the folder goes, so that a removal cut
// short leaves nothing that looks like one.
void remove_folder(const AbandonedFolder& folder, int parent_fd) {
  (void)remove_tree(folder.fd.get(), discarded_name);
  if (::renameat(folder.fd.get(), backup_name.c_str(), folder.fd.get(), discarded_name.c_str()) !=
          0 &&
      errno != ENOENT) {
    return;
  }
  (void)remove_tree(parent_fd, folder.name);
}

}  // namespace

bool recover_abandoned_installations(const std::string& target, const std::string& bundle_id) {
  const auto parent = parent_directory(target);
  const auto target_name = base_name(target);
  if (!parent || !target_name) {
    return false;
  }
  const UniqueFd parent_fd(::open(parent->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parent_fd) {
    return false;
  }
  bool recovered = false;
  for (const AbandonedFolder& folder : abandoned_folders(parent_fd.get())) {
    switch (judge(folder, parent_fd.get(), *target_name, bundle_id)) {
      case Verdict::keep:
        break;
      case Verdict::put_back:
        if (put_back(folder, parent_fd.get(), *target_name)) {
          recovered = true;
          remove_folder(folder, parent_fd.get());
        }
        break;
      case Verdict::remove:
        remove_folder(folder, parent_fd.get());
        break;
    }
  }
  return recovered;
}

}  // namespace kelvoma
