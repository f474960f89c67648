// The publisher's last look at a release before it leaves: what a user's
// installation would do with the manifest and the archive, on the copy the
// archive unpacked to.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "bundle/bundle_facts.h"
#include "verify/archive_check.h"
#include "verify/build_config.h"
#include "verify/catalog.h"

namespace kelvoma::publish {

// The archive open as `fd` (named `shown_as`) against the release's size and
// signature, read in pieces from its start: it is never held whole.
std::expected<void, std::string> verify_archive_file(int fd, const std::string& shown_as,
                                                     const Release& release, const Tool& tool,
                                                     ArchiveSizeMessage size_message);

// Verifies `manifest` with the entry's key, its processors by the rule of a
// machine of each processor the copy carries a program for (`config`'s
// trust), and the archive open as `archive_fd` against it; then
// that every field of the manifest says what the unpacked copy says
// (`facts`, read from it), and the copy's identity (the bundle `unpacked`)
// what the installation compares: identifier and build. The seal and ticket
// of that same copy were checked before signing (by the caller); nothing
// has changed it since. The installation's message, prefixed with where the
// check failed.
std::expected<void, std::string> check_as_installation(const CoreConfig& config, const Tool& tool,
                                                       std::span<const std::uint8_t> manifest,
                                                       int archive_fd, const std::string& unpacked,
                                                       const BundleFacts& facts);

}  // namespace kelvoma::publish
