// Reading a small file whole, for the system stand-ins.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace kelvoma::app::system {

// The bytes of the file at path, read to its end (files of /proc report no
// size, so none is trusted); nothing when it cannot be opened or read or
// holds more than limit bytes.
std::optional<std::string> readWholeFile(const std::string& path, std::size_t limit);

}  // namespace kelvoma::app::system
