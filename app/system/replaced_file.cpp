#include "replaced_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace kelvoma::app::system {
namespace {

bool writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) {
      continue;
    }
    if (wrote <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

}  // namespace

std::optional<std::string> readRegularFile(const std::string& path, std::size_t limit) {
  return readRegularFileAt(AT_FDCWD, path, limit);
}

std::optional<std::string> readRegularFileAt(int folder, const std::string& name,
                                             std::size_t limit) {
  const int fd = openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    return std::nullopt;
  }
  struct stat status {};
  std::optional<std::string> bytes;
  if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
      static_cast<std::size_t>(status.st_size) <= limit) {
    std::string read_bytes(static_cast<std::size_t>(status.st_size), '\0');
    std::size_t done = 0;
    while (done < read_bytes.size()) {
      const ssize_t got = read(fd, read_bytes.data() + done, read_bytes.size() - done);
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got <= 0) {
        break;
      }
      done += static_cast<std::size_t>(got);
    }
    if (done == read_bytes.size()) {
      bytes = std::move(read_bytes);
    }
  }
  close(fd);
  return bytes;
}

bool replaceFile(const std::string& path, const std::string& bytes) {
  const std::filesystem::path place(path);
  std::error_code error;
  std::filesystem::create_directories(place.parent_path(), error);
  if (error) {
    return false;
  }
  std::string pattern = (place.parent_path() / ("." + place.filename().string() + ".XXXXXX"));
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = mkstemp(name.data());
  if (fd < 0) {
    return false;
  }
  const std::string temporary(name.data());
  const bool written = fchmod(fd, 0644) == 0 && writeAll(fd, bytes) && fsync(fd) == 0;
  const bool closed = close(fd) == 0;
  if (!written || !closed || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  flushFolder(place.parent_path().string());
  return true;
}

void flushFolder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

}  // namespace kelvoma::app::system
