#include "releases/install_recovery.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <utility>

#include "releases/bundle.h"
#include "releases/file_tree.h"
#include "releases/install_directory.h"
#include "releases/install_paths.h"
#include "releases/unique_fd.h"

namespace kelvoma {
namespace {

constexpr const char* backup_name = "previous.app";

// The folder beside the target, held with its flock, and where it is.
struct AbandonedFolder {
  UniqueFd fd;
  std::string name;
  std::string path;
};

enum class TargetState { missing, present, unclear };

// A dangling symbolic link at the target is neither: nothing can be put
// back there, and nothing is there to make the backup needless.
TargetState target_state(int parent_fd, const std::string& target, const std::string& name) {
  struct stat info {};
  if (::fstatat(parent_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? TargetState::missing : TargetState::unclear;
  }
  return ::stat(target.c_str(), &info) == 0 ? TargetState::present : TargetState::unclear;
}

enum class Backup { none, ours, other };

// A "previous.app" may be the only copy of whatever it holds. One that is
// not this tool's (another tool's in the same folder, or unreadable) is no
// call of ours to judge: that tool's own next installation puts it back.
Backup backup_in(const AbandonedFolder& folder, const std::string& bundle_id) {
  struct stat info {};
  if (::fstatat(folder.fd.get(), backup_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISDIR(info.st_mode)) {
    return Backup::none;
  }
  const auto identity = read_bundle_identity(join_path(folder.path, backup_name));
  return identity && identity->identifier == bundle_id ? Backup::ours : Backup::other;
}

// Opened without following a symbolic link and locked without waiting: a
// folder that some call holds is in use.
std::optional<AbandonedFolder> open_abandoned(int parent_fd, const std::string& parent,
                                              const std::string& name) {
  UniqueFd fd(::openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd || !lock_file(fd.get(), LOCK_EX | LOCK_NB)) {
    return std::nullopt;
  }
  return AbandonedFolder{.fd = std::move(fd), .name = name, .path = join_path(parent, name)};
}

// Whether the folder may go.
bool put_back(const AbandonedFolder& folder, int parent_fd, const std::string& target,
              const std::string& target_name, const std::string& bundle_id) {
  switch (backup_in(folder, bundle_id)) {
    case Backup::none:
      return true;
    case Backup::other:
      return false;
    case Backup::ours:
      break;
  }
  switch (target_state(parent_fd, target, target_name)) {
    case TargetState::present:
      return true;
    case TargetState::unclear:
      return false;
    case TargetState::missing:
      break;
  }
  if (::renameat2(folder.fd.get(), backup_name, parent_fd, target_name.c_str(), RENAME_NOREPLACE) !=
      0) {
    return false;
  }
  (void)::fsync(parent_fd);
  return true;
}

}  // namespace

void recover_abandoned_installations(const std::string& target, const std::string& bundle_id) {
  const auto parent = parent_directory(target);
  const auto target_name = base_name(target);
  if (!parent || !target_name) {
    return;
  }
  const UniqueFd parent_fd(::open(parent->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // Without waiting: while another call is creating its folder here, the
  // leftovers wait for the next installation.
  if (!parent_fd || !lock_file(parent_fd.get(), LOCK_EX | LOCK_NB)) {
    return;
  }
  for (const std::string& name : folder_names(parent_fd.get())) {
    if (!name.starts_with(install_directory_prefix)) {
      continue;
    }
    const auto folder = open_abandoned(parent_fd.get(), *parent, name);
    if (folder && put_back(*folder, parent_fd.get(), target, *target_name, bundle_id)) {
      (void)remove_tree(parent_fd.get(), name);
    }
  }
}

}  // namespace kelvoma
