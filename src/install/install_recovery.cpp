#include "install/install_recovery.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <utility>
#include <vector>

#include "install/bundle/bundle.h"
#include "install/files/file_tree.h"
#include "install/install_directory.h"
#include "install/install_directory_machine.h"
#include "install/install_paths.h"
#include "verify/util/unique_fd.h"

namespace kelvoma {
namespace {

const std::string backup_name(backup_entry_name);
const std::string discarded_name(discarded_entry_name);

// A folder beside the target, held with its flock.
struct AbandonedFolder {
  UniqueFd fd;
  std::string name;
};

bool same_file(const struct stat& left, const struct stat& right) {
  return left.st_dev == right.st_dev && left.st_ino == right.st_ino;
}

// This tool's "previous.app" in the folder, if that is what it holds: read
// through a descriptor of it, with no link followed below it.
std::optional<struct stat> backup_of_tool(const AbandonedFolder& folder,
                                          const std::string& bundle_id) {
  const UniqueFd backup(::openat(folder.fd.get(), backup_name.c_str(),
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  if (!backup || ::fstat(backup.get(), &info) != 0) {
    return std::nullopt;
  }
  const auto identity = read_bundle_identity_at(backup.get());
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

// Whether the entry `name` of the folder open as `fd` is `expected`.
bool is_same_entry(int fd, const std::string& name, const struct stat& expected) {
  struct stat info {};
  return ::fstatat(fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && same_file(info, expected);
}

enum class Target { missing, tools_bundle, other };

// Only a real folder that carries the tool's identifier, and is not the
// backup itself seen through a mount, makes the backup needless; a link to
// the backup, a folder whose Contents or Info.plist is a link (into the
// backup, say), a folder that a sync client put there, anything unreadable
// does not. The identity is read from the folder as opened, and the name
// must still lead to that folder afterwards.
Target judge_target(int parent_fd, const std::string& name, const std::string& bundle_id,
                    const struct stat& backup) {
  const UniqueFd target(
      ::openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!target) {
    struct stat info {};
    const bool missing =
        ::fstatat(parent_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
    return missing ? Target::missing : Target::other;
  }
  struct stat opened {};
  if (::fstat(target.get(), &opened) != 0 || same_file(opened, backup)) {
    return Target::other;
  }
  const auto identity = read_bundle_identity_at(target.get());
  if (!identity || identity->identifier != bundle_id || !is_same_entry(parent_fd, name, opened)) {
    return Target::other;
  }
  return Target::tools_bundle;
}

// Opened without following a symbolic link and locked without waiting: a
// folder that some call holds is in use. One that another machine made may
// be in use there, whatever our lock says.
std::optional<AbandonedFolder> open_abandoned(int parent_fd, const std::string& name) {
  UniqueFd fd(::openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || made_on_another_machine(fd.get())) {
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

struct Judgement {
  Verdict verdict = Verdict::keep;
  std::optional<struct stat> backup;  // the "previous.app" it saw, if any
};

Judgement judge(const AbandonedFolder& folder, int parent_fd, const std::string& target_name,
                const std::string& bundle_id) {
  if (!has_backup(folder)) {
    return {.verdict = Verdict::remove, .backup = std::nullopt};
  }
  const auto backup = backup_of_tool(folder, bundle_id);
  if (!backup) {
    return {};
  }
  switch (judge_target(parent_fd, target_name, bundle_id, *backup)) {
    case Target::missing:
      return {.verdict = Verdict::put_back, .backup = backup};
    case Target::tools_bundle:
      return {.verdict = Verdict::remove, .backup = backup};
    case Target::other:
      return {};
  }
  return {};
}

// Whether the backup that was judged is back at the target. Whatever else
// a rename moved goes back where it was.
bool put_back(const AbandonedFolder& folder, int parent_fd, const std::string& target_name,
              const struct stat& judged) {
  if (!is_same_entry(folder.fd.get(), backup_name, judged) ||
      ::renameat2(folder.fd.get(), backup_name.c_str(), parent_fd, target_name.c_str(),
                  RENAME_NOREPLACE) != 0) {
    return false;
  }
  if (!is_same_entry(parent_fd, target_name, judged)) {
    (void)::renameat2(parent_fd, target_name.c_str(), folder.fd.get(), backup_name.c_str(),
                      RENAME_NOREPLACE);
    return false;
  }
  (void)::fsync(parent_fd);
  return true;
}

// A backup is renamed away before the folder goes, so that a removal cut
// short leaves nothing that looks like one; only the backup that was judged
// (none when none was seen), so the folder stays when another has appeared.
void remove_folder(const AbandonedFolder& folder, int parent_fd,
                   const std::optional<struct stat>& judged) {
  const int fd = folder.fd.get();
  (void)remove_tree(fd, discarded_name);
  if (judged ? !is_same_entry(fd, backup_name, *judged) : has_backup(folder)) {
    return;
  }
  if (judged &&
      ::renameat2(fd, backup_name.c_str(), fd, discarded_name.c_str(), RENAME_NOREPLACE) != 0) {
    return;
  }
  if (judged && !is_same_entry(fd, discarded_name, *judged)) {
    (void)::renameat2(fd, discarded_name.c_str(), fd, backup_name.c_str(), RENAME_NOREPLACE);
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
    const Judgement judged = judge(folder, parent_fd.get(), *target_name, bundle_id);
    switch (judged.verdict) {
      case Verdict::keep:
        break;
      case Verdict::put_back:
        if (put_back(folder, parent_fd.get(), *target_name, *judged.backup)) {
          recovered = true;
          remove_folder(folder, parent_fd.get(), std::nullopt);
        }
        break;
      case Verdict::remove:
        remove_folder(folder, parent_fd.get(), judged.backup);
        break;
    }
  }
  return recovered;
}

}  // namespace kelvoma
