#include "install/install_directory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "install/files/file_tree.h"
#include "install/install_directory_machine.h"
#include "install/install_paths.h"

namespace kelvoma {
namespace {

constexpr int max_name_attempts = 65536;

// How long a lock that someone holds is tried for: 20 tries 10 ms apart.
constexpr int lock_attempts = 20;
constexpr useconds_t lock_pause_us = 10'000;
// An installation waits longer, 10 s, before it gives up.
constexpr int install_lock_attempts = 1000;

enum class Lock { held, unsupported, busy };

// Only a file system without flock lets an installation go on unlocked;
// a lock that someone holds is waited for, and any other failure counts as
// held by someone. ENOLCK is a lock that cannot be had now (the kernel or
// the NFS server is out of lock records), not a file system without locks.
Lock wait_for_lock(int fd, int operation) {
  for (int attempt = 0; attempt < install_lock_attempts; ++attempt) {
    if (::flock(fd, operation | LOCK_NB) == 0) {
      return Lock::held;
    }
    if (errno == EOPNOTSUPP || errno == EINVAL) {
      return Lock::unsupported;
    }
    if (errno != EWOULDBLOCK && errno != EINTR && errno != ENOLCK) {
      return Lock::busy;
    }
    ::usleep(lock_pause_us);
  }
  return Lock::busy;
}

// Six characters from the 62 letters and digits; bytes that would make the
// choice uneven are drawn again.
std::optional<std::string> random_name_part() {
  static constexpr std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string part;
  while (part.size() < 6) {
    unsigned char bytes[16];
    const ssize_t got = ::getrandom(bytes, sizeof bytes, 0);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return std::nullopt;
    }
    for (ssize_t i = 0; i < got && part.size() < 6; ++i) {
      if (bytes[i] < 248) {
        part += alphabet[bytes[i] % alphabet.size()];
      }
    }
  }
  return part;
}

}  // namespace

bool try_lock(int fd, int operation) {
  for (int attempt = 0; attempt < lock_attempts; ++attempt) {
    if (::flock(fd, operation | LOCK_NB) == 0) {
      return true;
    }
    if (errno != EWOULDBLOCK && errno != EINTR && errno != ENOLCK) {
      return false;
    }
    ::usleep(lock_pause_us);
  }
  return false;
}

std::expected<InstallDirectory, InstallDirectoryFailure> InstallDirectory::create(
    const std::string& parent) {
  using Failure = InstallDirectoryFailure;
  UniqueFd parent_fd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parent_fd) {
    return std::unexpected(Failure::cannot_create);
  }
  // A file system without flock gives no lock here and none to recovery
  // either, which then leaves every folder alone; a lock that someone holds
  // is another matter: unlocked, the folder could be taken for abandoned.
  if (wait_for_lock(parent_fd.get(), LOCK_SH) == Lock::busy) {
    return std::unexpected(Failure::locked);
  }
  for (int attempt = 0; attempt < max_name_attempts; ++attempt) {
    const auto part = random_name_part();
    if (!part) {
      return std::unexpected(Failure::cannot_create);
    }
    std::string name = std::string(install_directory_prefix) + *part;
    // Ours alone: whatever the umask, nobody else may add or swap entries.
    if (::mkdirat(parent_fd.get(), name.c_str(), 0700) != 0) {
      if (errno == EEXIST) {
        continue;
      }
      return std::unexpected(Failure::cannot_create);
    }
    UniqueFd directory(
        ::openat(parent_fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory) {
      (void)::unlinkat(parent_fd.get(), name.c_str(), AT_REMOVEDIR);
      return std::unexpected(Failure::cannot_create);
    }
    if (wait_for_lock(directory.get(), LOCK_EX) == Lock::busy) {
      (void)::unlinkat(parent_fd.get(), name.c_str(), AT_REMOVEDIR);
      return std::unexpected(Failure::locked);
    }
    // Before anything of worth lands in it: a folder without the record
    // holds nothing that recovery could take from another machine.
    if (write_machine_record(directory.get()) != 0) {
      (void)remove_tree(parent_fd.get(), name);
      return std::unexpected(Failure::cannot_create);
    }
    (void)::flock(parent_fd.get(), LOCK_UN);
    std::string path = join_path(parent, name);
    return InstallDirectory(std::move(parent_fd), std::move(directory), std::move(name),
                            std::move(path));
  }
  return std::unexpected(Failure::cannot_create);
}

InstallDirectory::~InstallDirectory() {
  struct stat backup {};
  const std::string backup_name(backup_entry_name);
  if (directory_ &&
      ::fstatat(directory_.get(), backup_name.c_str(), &backup, AT_SYMLINK_NOFOLLOW) != 0 &&
      errno == ENOENT) {
    (void)remove_tree(parent_.get(), name_);
  }
}

void InstallDirectory::discard_backup() const {
  const std::string backup(backup_entry_name);
  const std::string discarded(discarded_entry_name);
  if (::renameat(directory_.get(), backup.c_str(), directory_.get(), discarded.c_str()) == 0) {
    (void)remove_tree(directory_.get(), discarded);
  }
}

std::string InstallDirectory::entry(std::string_view name) const { return join_path(path_, name); }

int InstallDirectory::flush_file_system() const {
  return ::syncfs(directory_.get()) == 0 ? 0 : errno;
}

int InstallDirectory::flush_parent() const { return ::fsync(parent_.get()) == 0 ? 0 : errno; }

}  // namespace kelvoma
