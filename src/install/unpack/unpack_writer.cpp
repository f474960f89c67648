#include "install/unpack/unpack_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "install/files/file_tree.h"
#include "install/unpack/unpack_rules.h"

namespace kelvoma {
namespace {

// Permission bits only: set-user-ID, set-group-ID and sticky never survive.
constexpr mode_t kept_permission_bits = 0777;

// A new file that nothing else can have made or redirected.
constexpr int new_file_flags = O_CREAT | O_EXCL | O_NOFOLLOW | O_WRONLY | O_CLOEXEC;

std::optional<mode_t> umask_from_status() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("Umask:")) {
      char* end = nullptr;
      const unsigned long mask = std::strtoul(line.c_str() + 6, &end, 8);
      if (end == line.c_str() + 6) {
        return std::nullopt;
      }
      return static_cast<mode_t>(mask) & 0777;
    }
  }
  return std::nullopt;
}

// The times to set, or false when the entry gives none. A time the entry
// lacks becomes the present.
bool to_set(const EntryTimes& times, timespec (&set)[2]) {
  if (!times.access && !times.modification) {
    return false;
  }
  constexpr timespec now{.tv_sec = 0, .tv_nsec = UTIME_NOW};
  set[0] = times.access.value_or(now);
  set[1] = times.modification.value_or(now);
  return true;
}

bool set_times(int fd, const EntryTimes& times) {
  timespec set[2];
  return !to_set(times, set) || ::futimens(fd, set) == 0;
}

bool is_kind(int folder_fd, const std::string& name, mode_t kind) {
  struct stat info {};
  return ::fstatat(folder_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
         (info.st_mode & S_IFMT) == kind;
}

}  // namespace

mode_t process_umask(int folder_fd) {
  if (const auto mask = umask_from_status()) {
    return *mask;
  }
  const UniqueFd probe(::openat(folder_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0777));
  struct stat info {};
  if (probe && ::fstat(probe.get(), &info) == 0) {
    return ~info.st_mode & 0777;
  }
  return 077;
}

int beneath_lookup_error(int folder_fd) {
  const UniqueFd found(open_beneath(folder_fd, ".", O_PATH | O_DIRECTORY));
  return found ? 0 : errno;
}

int EntryWriter::open_folder(std::string_view path) {
  const std::string wanted(path);
  UniqueFd found(open_beneath(root_fd_, wanted, O_PATH | O_DIRECTORY));
  if (!found && errno == ENOENT) {
    // Made one by one, each opened as made: a link put in the way stops it.
    UniqueFd at;
    std::string made;
    for (std::size_t start = 0; start <= wanted.size();) {
      const std::size_t end = std::min(wanted.find('/', start), wanted.size());
      const std::string component = wanted.substr(start, end - start);
      made += (made.empty() ? "" : "/") + component;
      const int parent = at ? at.get() : root_fd_;
      if (::mkdirat(parent, component.c_str(), 0700) == 0) {
        folders_.try_emplace(made, FolderMode{.mode = 0777 & ~umask_, .times = {}});
      } else if (errno != EEXIST) {
        return -1;
      }
      at = UniqueFd(open_beneath(parent, component, O_PATH | O_DIRECTORY));
      if (!at) {
        return -1;
      }
      start = end + 1;
    }
    found = std::move(at);
  }
  if (!found) {
    return -1;
  }
  open_fd_ = std::move(found);
  open_path_ = wanted;
  return open_fd_.get();
}

int EntryWriter::folder(std::string_view path) {
  if (path.empty()) {
    return root_fd_;
  }
  if (open_fd_ && path == open_path_) {
    return open_fd_.get();
  }
  return open_folder(path);
}

std::pair<int, std::string> EntryWriter::place(std::string_view name) {
  const std::string normalized = normalized_name(name);
  const std::size_t slash = normalized.rfind('/');
  if (slash == std::string::npos) {
    return {root_fd_, normalized};
  }
  return {folder(std::string_view(normalized).substr(0, slash)), normalized.substr(slash + 1)};
}

bool EntryWriter::add_folder(std::string_view name, mode_t mode, const EntryTimes& times) {
  const auto [parent, leaf] = place(name);
  if (parent < 0 || leaf.empty() ||
      (::mkdirat(parent, leaf.c_str(), 0700) != 0 &&
       (errno != EEXIST || !is_kind(parent, leaf, S_IFDIR)))) {
    return false;
  }
  folders_.insert_or_assign(
      normalized_name(name),
      FolderMode{.mode = mode & kept_permission_bits & ~umask_, .times = times});
  return true;
}

UniqueFd EntryWriter::add_file(std::string_view name) {
  const auto [parent, leaf] = place(name);
  if (parent < 0 || leaf.empty()) {
    return {};
  }
  UniqueFd file(::openat(parent, leaf.c_str(), new_file_flags, 0600));
  if (!file && errno == EEXIST && is_kind(parent, leaf, S_IFREG) &&
      ::unlinkat(parent, leaf.c_str(), 0) == 0) {
    file = UniqueFd(::openat(parent, leaf.c_str(), new_file_flags, 0600));
  }
  return file;
}

bool EntryWriter::finish_file(UniqueFd file, mode_t mode, const EntryTimes& times) {
  const bool done = ::fchmod(file.get(), mode & kept_permission_bits & ~umask_) == 0 &&
                    set_times(file.get(), times);
  return file.close() == 0 && done;
}

bool EntryWriter::add_link(std::string_view name, const std::string& target,
                           const EntryTimes& times) {
  const auto [parent, leaf] = place(name);
  timespec set[2];
  return parent >= 0 && !leaf.empty() && ::symlinkat(target.c_str(), parent, leaf.c_str()) == 0 &&
         (!to_set(times, set) || ::utimensat(parent, leaf.c_str(), set, AT_SYMLINK_NOFOLLOW) == 0);
}

bool EntryWriter::finish() {
  open_fd_.reset();
  open_path_.clear();
  for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) {
    const UniqueFd made(open_beneath(root_fd_, it->first, O_RDONLY | O_DIRECTORY));
    if (!made || ::fchmod(made.get(), it->second.mode) != 0 ||
        !set_times(made.get(), it->second.times)) {
      return false;
    }
  }
  return true;
}

}  // namespace kelvoma
