// Where a bundle no longer matches its seal: the first path, in the list's
// order, whose line differs between the list the seal signed and the list
// the bundle prints now, and how it differs. The installation only says that
// the seal does not hold; the publisher needs to know which file to look at.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace kelvoma::publish {

// "PATH (změněný obsah)" and the like, or nothing when the two lists name
// the same entries alike. Lines of the header (identifier, team) come first.
std::optional<std::string> first_seal_difference(std::string_view sealed, std::string_view now);

// The same for the bundle at `bundle` against the list signed in its
// Contents/_CodeSignature/CodeSeal; nothing when that cannot be read.
std::optional<std::string> first_seal_difference(const std::string& bundle);

// Refuses a seal made by another team than `team` (the catalog's), naming
// both; a seal that cannot be read is left to the installation's check.
std::expected<void, std::string> check_sealed_team(const std::string& bundle,
                                                   const std::string& team);

}  // namespace kelvoma::publish
