// The release archive of a bundle, the same bytes for the same bundle under
// any umask: the bundle's folder at the top, entries sorted by name, folders,
// files and symbolic links (stored as links, never followed), modes 0755 for
// folders and files their owner may execute and 0644 for the rest, one fixed
// time and no owner names.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

namespace kelvoma::publish {

// What the installation unpacks at most (entries, bytes of the files), known
// from the files' sizes before anything is zipped; refused naming the limit
// and what to do.
std::expected<void, std::string> check_unpacked_limits(std::uint64_t entries, std::uint64_t bytes);

// The archive a user downloads at most (256 MiB), refused the same way.
std::expected<void, std::string> check_archive_size(std::uint64_t bytes);

// The zip of the folder `bundle`, its entries named "<top>/…". Fails with the
// path and the system error text, or libarchive's description, or for an
// entry that is no folder, file or link.
std::expected<std::vector<std::uint8_t>, std::string> zip_bundle(const std::string& bundle,
                                                                 const std::string& top);

}  // namespace kelvoma::publish
