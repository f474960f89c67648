// Unpacking release archives (zip) into a private directory.
#pragma once

#include <expected>
#include <string>

#include "releases/build_config.h"

namespace kelvoma {

// Creates `destination` and unpacks `archive` into it with the archive tool.
// Every entry that would land outside `destination` (absolute paths, "..",
// writes through a symbolic link) makes the whole unpacking fail with
// "Balíček nelze rozbalit."; a tool that cannot be started gives the system
// error text. Symbolic links and permission bits inside are kept.
std::expected<void, std::string> unpack_archive(const CoreConfig& config,
                                                const std::string& archive,
                                                const std::string& destination);

}  // namespace kelvoma
