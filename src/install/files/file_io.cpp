#include "install/files/file_io.h"

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace kelvoma {
namespace {

// Appends without leaving a copy behind when the vector must grow: the
// bytes may be a secret key.
void append_wiping(std::vector<std::uint8_t>& bytes, std::span<const std::uint8_t> more) {
  if (bytes.capacity() - bytes.size() < more.size()) {
    std::vector<std::uint8_t> larger;
    larger.reserve(std::max(bytes.capacity() * 2, bytes.size() + more.size()));
    larger.assign(bytes.begin(), bytes.end());
    ::explicit_bzero(bytes.data(), bytes.size());
    bytes.swap(larger);
  }
  bytes.insert(bytes.end(), more.begin(), more.end());
}

}  // namespace

std::expected<std::vector<std::uint8_t>, int> read_to_end(int fd, std::size_t limit) {
  std::vector<std::uint8_t> bytes;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    bytes.reserve(std::min(static_cast<std::size_t>(info.st_size), limit));
  }
  std::array<std::uint8_t, 1 << 16> block{};
  int error = 0;
  while (bytes.size() < limit) {
    const ssize_t got = ::read(fd, block.data(), std::min(block.size(), limit - bytes.size()));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      error = got < 0 ? errno : 0;
      break;
    }
    append_wiping(bytes, std::span(block.data(), static_cast<std::size_t>(got)));
  }
  ::explicit_bzero(block.data(), block.size());
  if (error != 0) {
    ::explicit_bzero(bytes.data(), bytes.size());
    return std::unexpected(error);
  }
  return bytes;
}

std::optional<std::string> read_regular_file(int fd, std::size_t limit) {
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<std::uint64_t>(info.st_size) > limit) {
    return std::nullopt;
  }
  const auto bytes = read_to_end(fd, static_cast<std::size_t>(info.st_size));
  if (!bytes) {
    return std::nullopt;
  }
  return std::string(bytes->begin(), bytes->end());
}

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

bool exists_following_links(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

}  // namespace kelvoma
