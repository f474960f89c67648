// The working folder of one installation: ".kelvoma-install-" and six random
// letters or digits, in the target's parent folder, so that the final moves
// stay within one file system.
//
// The call that creates it holds an exclusive flock on it until it is gone,
// so recovery in another call (install_recovery.h) can tell a folder in use
// from one that a crashed call left behind. Creation takes a shared flock on
// the parent folder until its own lock is in place, and recovery an
// exclusive one, so that a folder is never seen between its mkdir and its
// lock. A lock that another process holds is waited for, never skipped;
// so is one the kernel cannot give now (ENOLCK). The folder names the
// machine that made it (install_directory_machine.h), since on a home
// shared between machines their locks need not meet.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "verify/util/unique_fd.h"

namespace kelvoma {

inline constexpr std::string_view install_directory_prefix = ".kelvoma-install-";

// The replaced bundle, kept aside during the swap.
inline constexpr std::string_view backup_entry_name = "previous.app";

// What a backup that is no longer needed is renamed to before it is
// deleted, so that a deletion cut short leaves nothing that looks like a
// backup: recovery removes it without judging it.
inline constexpr std::string_view discarded_entry_name = "discarded.app";

// flock(`fd`, `operation` | LOCK_NB), tried again for a short while when
// someone else holds the lock or no lock record is free (ENOLCK); whether
// it holds. False at once where the file system has no such locks.
bool try_lock(int fd, int operation);

// Why no folder was created.
enum class InstallDirectoryFailure {
  cannot_create,
  // Another process held the parent's lock or the new folder's for longer
  // than an installation waits (10 s); nothing was left behind.
  locked,
};

// The message for InstallDirectoryFailure::locked.
inline constexpr std::string_view install_directory_locked_message =
    "Cílovou složku právě používá jiný proces. Zkus instalaci znovu za chvíli.";

class InstallDirectory {
 public:
  // A fresh folder in `parent` (0700) holding this machine's record; a
  // name taken is drawn again, at most 65536 times. Nothing on any failure.
  // Goes on without locks only where the file system has none.
  static std::expected<InstallDirectory, InstallDirectoryFailure> create(const std::string& parent);

  InstallDirectory(InstallDirectory&&) noexcept = default;
  InstallDirectory& operator=(InstallDirectory&&) = delete;
  InstallDirectory(const InstallDirectory&) = delete;
  InstallDirectory& operator=(const InstallDirectory&) = delete;
  // Removes the folder and everything in it (errors ignored), unless it
  // holds a backup: a backup is removed only by discard_backup(), so a
  // failure or an exception after the swap can never delete the only copy
  // of the replaced bundle. The folder's lock goes with this object, so the
  // next recovery can put a kept backup back.
  ~InstallDirectory();

  int fd() const { return directory_.get(); }
  std::string entry(std::string_view name) const;
  // Removes the backup once the new bundle is in place: renamed to the
  // throw-away name first, then deleted.
  void discard_backup() const;

  // Writes everything of the file system that holds the folder to disk
  // (syncfs); 0 or the errno.
  int flush_file_system() const;
  // Makes the renames in the parent folder durable (fsync); 0 or the errno.
  int flush_parent() const;

 private:
  InstallDirectory(UniqueFd parent, UniqueFd directory, std::string name, std::string path)
      : parent_(std::move(parent)),
        directory_(std::move(directory)),
        name_(std::move(name)),
        path_(std::move(path)) {}

  UniqueFd parent_;
  UniqueFd directory_;  // carries the lock
  std::string name_;
  std::string path_;
};

}  // namespace kelvoma
