// Reading small files that must be regular files, whole.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace kelvoma {

// The bytes of the file open as `fd` when it is a regular file of at most
// `limit` bytes; a file that shrinks meanwhile gives what is there. Open it
// with O_NONBLOCK: a FIFO or device planted in its place then never stalls.
std::optional<std::string> read_regular_file(int fd, std::size_t limit);

}  // namespace kelvoma
