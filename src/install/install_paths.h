// Paths of an installation: the permitted targets, and the target's parent
// folder in which everything of an installation happens.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace kelvoma {

// Whether `target` names "/Applications/<bundle_name>" or
// "<home>/Applications/<bundle_name>", compared component by component
// (repeated separators, a trailing separator and "." make no difference;
// ".." is not resolved; case matters).
bool is_permitted_target(std::string_view target, std::string_view bundle_name,
                         std::string_view home);

// `left` and `right` with one separator between them, unless `left` already
// ends with one.
std::string join_path(std::string_view left, std::string_view right);

// The path without doubled or trailing separators and "." components, so
// that a trailing "/" can neither make a lookup follow a symbolic link nor
// make the target's own directory its parent.
std::string normalized_path(std::string_view path);

// The parent of `path` ("." for a single relative name), or nothing for the
// empty path and the root.
std::optional<std::string> parent_directory(std::string_view path);

// The last component of `path`, or nothing for the empty path and the root.
std::optional<std::string> base_name(std::string_view path);

// Creates `directory` and its missing ancestors with 0777 less the mask;
// directories that exist (also through a symbolic link) are fine. The error
// is the system error text.
std::expected<void, std::string> create_directories(const std::string& directory);

}  // namespace kelvoma
