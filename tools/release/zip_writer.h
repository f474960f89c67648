// The release archive of a bundle, the same bytes for the same bundle under
// any umask: the bundle's folder at the top, entries in the walk's order
// (each folder's names sorted, parents first), folders, files and symbolic
// links (stored as links, never followed), modes 0755 for folders and files
// their owner may execute and 0644 for the rest, one fixed time and no owner
// names. Files are compressed on every core at once, each a member of its
// own, and the archive goes straight to a file: memory stays bounded
// whatever the bundle's size.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "bundle/bundle_walk.h"

namespace kelvoma::publish {

// What the installation unpacks at most (entries, bytes of the files), known
// from the files' sizes before anything is zipped; refused naming the limit
// and what to do.
std::expected<void, std::string> check_unpacked_limits(std::uint64_t entries, std::uint64_t bytes);

// The archive a user downloads at most (256 MiB), refused the same way.
std::expected<void, std::string> check_archive_size(std::uint64_t bytes);

// Writes the zip of `tree` (walked from the bundle named `bundle` in
// messages), its entries named "<top>/…", to `out_fd` from its start; the
// archive's size. Refuses a tree past the installation's limits before
// zipping and stops as soon as the archive passes its own.
std::expected<std::uint64_t, std::string> zip_bundle(const BundleTree& tree,
                                                     const std::string& bundle,
                                                     const std::string& top, int out_fd);

}  // namespace kelvoma::publish
