#include "install/archive_download.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "install/files/file_io.h"
#include "install/install_paths.h"
#include "verify/util/system_error.h"

namespace kelvoma {
namespace {

constexpr std::size_t copy_buffer_size = 1 << 20;

// Whether copy_file_range refuses these two files, rather than failing on
// them: an old kernel, two file systems it cannot copy between, a file
// system that does not offer it.
bool copy_refused(int error) {
  return error == ENOSYS || error == EXDEV || error == EOPNOTSUPP || error == EINVAL;
}

// Copies through our own buffer from `offset` on.
int read_write_copy(int from, int to, loff_t offset, loff_t size) {
  const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(copy_buffer_size);
  while (offset < size) {
    const ssize_t got = ::pread(from, buffer.get(), copy_buffer_size, offset);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return got == 0 ? EIO : errno;  // the file ended before its size
    }
    if (const int error = write_all(to, {buffer.get(), static_cast<std::size_t>(got)});
        error != 0) {
      return error;
    }
    offset += got;
  }
  return 0;
}

// 0 or the errno: the first `size` bytes of `from` appended to `to`, by
// copy_file_range where the kernel does it, else by reading and writing.
int copy_bytes(int from, int to, loff_t size) {
  loff_t offset = 0;
  while (offset < size) {
    const ssize_t copied =
        ::copy_file_range(from, &offset, to, nullptr, static_cast<std::size_t>(size - offset), 0);
    if (copied == 0) {
      return EIO;  // the file ended before its size
    }
    if (copied < 0 && errno == EINTR) {
      continue;
    }
    if (copied < 0) {
      return copy_refused(errno) ? read_write_copy(from, to, offset, size) : errno;
    }
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

// A new file that nothing else can have made or redirected.
constexpr int new_file_flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;

// A second descriptor of `fd`, for reading the archive from its start; the
// first one closed, so that a failed close, which can be the first report
// of a failed write, is seen.
std::expected<UniqueFd, std::string> reader_of(UniqueFd file, int write_error) {
  UniqueFd reader(write_error == 0 ? ::fcntl(file.get(), F_DUPFD_CLOEXEC, 0) : -1);
  const int error = write_error != 0 ? write_error : (!reader ? errno : 0);
  const int closed = file.close();
  if (error != 0 || closed != 0) {
    return std::unexpected(system_error_text(error != 0 ? error : closed));
  }
  return reader;
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
  return {piece_.get() + filled_, body_piece_size - filled_};
}

// Whole pieces only, the last one at save_as(): the same archive is always
// written by the same writes, however the network cut it up.
void ArchiveDownload::take(std::size_t count) {
  if (memory_) {
    memory_->take(count);
    return;
  }
  filled_ += count;
  if (filled_ == body_piece_size) {
    write_piece();
  }
}

// A full disk is kept for save_as(), so the check's verdict still comes
// first.
void ArchiveDownload::write_piece() {
  if (write_error_ == 0 && filled_ > 0) {
    write_error_ = write_all(file_.get(), {piece_.get(), filled_});
  }
  filled_ = 0;
}

std::expected<UniqueFd, std::string> ArchiveDownload::save_as(int folder_fd,
                                                              const std::string& name) {
  if (memory_) {
    return write_memory(folder_fd, name);
  }
  write_piece();
  if (write_error_ != 0) {
    return std::unexpected(system_error_text(write_error_));
  }
  return link_file(folder_fd, name);
}

// Linking by descriptor needs CAP_DAC_READ_SEARCH; the file's entry under
// /proc does not. Where neither links (a file system without hard links,
// /proc not mounted), the bytes are copied.
std::expected<UniqueFd, std::string> ArchiveDownload::link_file(int folder_fd,
                                                                const std::string& name) const {
  const std::string own_entry = "/proc/self/fd/" + std::to_string(file_.get());
  if (::linkat(file_.get(), "", folder_fd, name.c_str(), AT_EMPTY_PATH) != 0 &&
      ::linkat(AT_FDCWD, own_entry.c_str(), folder_fd, name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
    return copy_file(folder_fd, name);
  }
  UniqueFd reader(::fcntl(file_.get(), F_DUPFD_CLOEXEC, 0));
  if (!reader) {
    return std::unexpected(system_error_text(errno));
  }
  return reader;
}

std::expected<UniqueFd, std::string> ArchiveDownload::copy_file(int folder_fd,
                                                                const std::string& name) const {
  UniqueFd file(::openat(folder_fd, name.c_str(), new_file_flags, 0666));
  if (!file) {
    return std::unexpected(system_error_text(errno));
  }
  struct stat info {};
  const int error =
      ::fstat(file_.get(), &info) == 0 ? copy_bytes(file_.get(), file.get(), info.st_size) : errno;
  return reader_of(std::move(file), error);
}

std::expected<UniqueFd, std::string> ArchiveDownload::write_memory(int folder_fd,
                                                                   const std::string& name) const {
  UniqueFd file(::openat(folder_fd, name.c_str(), new_file_flags, 0666));
  if (!file) {
    return std::unexpected(system_error_text(errno));
  }
  const int error = write_all(file.get(), memory_->body().bytes());
  return reader_of(std::move(file), error);
}

}  // namespace kelvoma
