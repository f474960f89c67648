// The release archive of a bundle, the same bytes for the same bundle: the
// bundle's folder at the top, entries sorted by name, folders, files and
// symbolic links (stored as links, never followed) with their permission
// bits, one fixed time and no owner names.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

namespace kelvoma::publish {

// The zip of the folder `bundle`, its entries named "<top>/…". Fails with the
// path and the system error text, or libarchive's description, or for an
// entry that is no folder, file or link.
std::expected<std::vector<std::uint8_t>, std::string> zip_bundle(const std::string& bundle,
                                                                 const std::string& top);

}  // namespace kelvoma::publish
