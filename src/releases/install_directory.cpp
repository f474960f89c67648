#include "releases/install_directory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "releases/file_tree.h"
#include "releases/install_paths.h"

namespace kelvoma {
namespace {

constexpr int max_name_attempts = 65536;

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

bool lock_file(int fd, int operation) {
  while (::flock(fd, operation) != 0) {
    if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

std::optional<InstallDirectory> InstallDirectory::create(const std::string& parent) {
  UniqueFd parent_fd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parent_fd) {
    return std::nullopt;
  }
  // A file system without flock gives no lock here and none to recovery
  // either, which then leaves every folder alone; so failing locks are no
  // reason to stop.
  (void)lock_file(parent_fd.get(), LOCK_SH);
  for (int attempt = 0; attempt < max_name_attempts; ++attempt) {
    const auto part = random_name_part();
    if (!part) {
      return std::nullopt;
    }
    std::string name = std::string(install_directory_prefix) + *part;
    if (::mkdirat(parent_fd.get(), name.c_str(), 0777) != 0) {
      if (errno == EEXIST) {
        continue;
      }
      return std::nullopt;
    }
    UniqueFd directory(
        ::openat(parent_fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory) {
      (void)::unlinkat(parent_fd.get(), name.c_str(), AT_REMOVEDIR);
      return std::nullopt;
    }
    (void)lock_file(directory.get(), LOCK_EX);
    (void)lock_file(parent_fd.get(), LOCK_UN);
    std::string path = join_path(parent, name);
    return InstallDirectory(std::move(parent_fd), std::move(directory), std::move(name),
                            std::move(path));
  }
  return std::nullopt;
}

InstallDirectory::~InstallDirectory() {
  if (directory_ && !keep_) {
    (void)remove_tree(parent_.get(), name_);
  }
}

std::string InstallDirectory::entry(std::string_view name) const { return join_path(path_, name); }

int InstallDirectory::flush_file_system() const {
  return ::syncfs(directory_.get()) == 0 ? 0 : errno;
}

int InstallDirectory::flush_parent() const { return ::fsync(parent_.get()) == 0 ? 0 : errno; }

}  // namespace kelvoma
