// Whole reads and writes of files, shared by the installation and the
// publisher's tool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelvoma {

// Reads the file open as `fd` from its current offset to its end, but never
// more than `limit` bytes: an endless or huge file costs at most that much
// memory (ask for one byte more than you accept to tell "too long"). Any
// readable file will do, a pipe included; interrupted reads go on. The
// bytes, or the errno of the read that failed. Memory it frees on the way
// is wiped first: the bytes may be a secret key.
std::expected<std::vector<std::uint8_t>, int> read_to_end(int fd, std::size_t limit);

// The bytes of the file open as `fd` when it is a regular file of at most
// `limit` bytes; a file that shrinks meanwhile gives what is there. Open it
// with O_NONBLOCK: a FIFO or device planted in its place then never stalls.
std::optional<std::string> read_regular_file(int fd, std::size_t limit);

// Writes all of `bytes` to `fd`; interrupted and partial writes go on. 0, or
// the errno of the write that failed.
int write_all(int fd, std::span<const std::uint8_t> bytes);
inline int write_all(int fd, std::string_view text) {
  return write_all(fd, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

// Whether `path` names an entry once every symbolic link on the way is
// followed (a dangling link names nothing).
bool exists_following_links(const std::string& path);

}  // namespace kelvoma
