#include "releases/archive_download.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "releases/install_paths.h"
#include "releases/system_error.h"

namespace kelvoma {
namespace {

// 0 or the errno of the failed write; interrupted and partial writes go on.
int write_all(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written < 0) {
      return errno;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return 0;
}

// An unnamed file in `folder` or, while that does not exist, in its nearest
// existing ancestor: the folder that will hold the install directory lies
// on that same file system. 0666 less the mask, like the named file it
// becomes.
UniqueFd open_unnamed_file(std::string folder) {
  for (;;) {
    UniqueFd file(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
    if (file || errno != ENOENT) {
      return file;
    }
    auto above = parent_directory(folder);
    if (!above || *above == folder) {
      return {};
    }
    folder = std::move(*above);
  }
}

}  // namespace

ArchiveDownload::ArchiveDownload(const std::optional<std::string>& folder, std::uint64_t limit) {
  if (folder) {
    file_ = open_unnamed_file(*folder);
  }
  if (file_) {
    piece_ = std::make_unique_for_overwrite<std::uint8_t[]>(body_piece_size);
  } else {
    memory_.emplace(limit);
  }
}

std::span<std::uint8_t> ArchiveDownload::space() {
  if (memory_) {
    return memory_->space();
  }
  return {piece_.get(), body_piece_size};
}

void ArchiveDownload::take(std::size_t count) {
  if (memory_) {
    memory_->take(count);
  } else if (write_error_ == 0) {
    // A full disk is kept for save_as(), so the check's verdict still comes
    // first.
    write_error_ = write_all(file_.get(), {piece_.get(), count});
  }
}

std::expected<void, std::string> ArchiveDownload::save_as(int folder_fd, const std::string& name) {
  if (memory_) {
    return write_memory(folder_fd, name);
  }
  if (write_error_ != 0) {
    return std::unexpected(system_error_text(write_error_));
  }
  return link_file(folder_fd, name);
}

// Linking by descriptor needs CAP_DAC_READ_SEARCH; the file's entry under
// /proc does not.
std::expected<void, std::string> ArchiveDownload::link_file(int folder_fd,
                                                            const std::string& name) const {
  if (::linkat(file_.get(), "", folder_fd, name.c_str(), AT_EMPTY_PATH) == 0) {
    return {};
  }
  const std::string own_entry = "/proc/self/fd/" + std::to_string(file_.get());
  if (::linkat(AT_FDCWD, own_entry.c_str(), folder_fd, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
    return {};
  }
  return std::unexpected(system_error_text(errno));
}

std::expected<void, std::string> ArchiveDownload::write_memory(int folder_fd,
                                                               const std::string& name) const {
  UniqueFd file(::openat(folder_fd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!file) {
    return std::unexpected(system_error_text(errno));
  }
  const int error = write_all(file.get(), memory_->body().bytes());
  // A failed close can be the first report of a failed write.
  const int closed = file.close();
  if (error != 0 || closed != 0) {
    return std::unexpected(system_error_text(error != 0 ? error : closed));
  }
  return {};
}

}  // namespace kelvoma
