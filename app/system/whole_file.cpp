#include "whole_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kelvoma::app::system {

std::optional<std::string> readWholeFile(const std::string& path, std::size_t limit) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return std::nullopt;
  }
  std::string bytes;
  char buffer[8192];
  ssize_t got = 0;
  while (bytes.size() <= limit) {
    got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  close(fd);
  if (got < 0 || bytes.size() > limit) {
    return std::nullopt;
  }
  return bytes;
}

}  // namespace kelvoma::app::system
