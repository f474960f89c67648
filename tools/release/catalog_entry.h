// The catalog entry a release is published for, and the checks of what the
// publisher brings against it: the key, the bundle identifier and the
// archive's address. A release that fails one of them would be refused by
// every user's installation.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "verify/catalog.h"

namespace kelvoma::publish {

// The manifest-based entry `id` of the catalog compiled into this tool, or of
// the tools.json at `catalog_file`.
std::expected<Tool, std::string> catalog_entry(const std::optional<std::string>& catalog_file,
                                               std::string_view id);

// `public_key` (base64) must be the entry's public_key.
std::expected<void, std::string> check_public_key(const Tool& tool, std::string_view public_key);

// `bundle_id`, the bundle's CFBundleIdentifier, must be the entry's bundle_id.
std::expected<void, std::string> check_bundle_id(const Tool& tool, std::string_view bundle_id);

// `url` must begin with the entry's archive_prefix (https, as every download).
std::expected<void, std::string> check_archive_url(const Tool& tool, std::string_view url);

}  // namespace kelvoma::publish
