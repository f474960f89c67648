// The publisher's last look at a release before it leaves: what a user's
// installation would do with the manifest and the archive, in a folder of
// its own.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "verify/build_config.h"
#include "verify/catalog.h"

namespace kelvoma::publish {

// Verifies `manifest` with the entry's key, the archive (open as
// `archive_fd`, its bytes `archive`) against it, unpacks it into
// `folder`/unpacked with the installation's rules and checks the bundle
// named as the catalog names it: identifier, build, seal and ticket. The
// installation's message, prefixed with where the check failed.
std::expected<void, std::string> check_as_installation(const CoreConfig& config, const Tool& tool,
                                                       std::span<const std::uint8_t> manifest,
                                                       std::span<const std::uint8_t> archive,
                                                       int archive_fd, const std::string& folder);

}  // namespace kelvoma::publish
