// Names in a bundle are UTF-8: the release archive says so of every name,
// and the installation reads names and link targets as UTF-8 whatever the
// locale, refusing the whole archive at one that is not.
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace kelvoma::publish {

// `path` (shown to the publisher) with each byte that is not part of UTF-8
// written as \xNN, so that the message naming it is text.
std::string shown_name(std::string_view path);

// Refuses, naming `path`, a name (`path` itself) or a link target that is
// not UTF-8.
std::expected<void, std::string> check_utf8_name(std::string_view path);
std::expected<void, std::string> check_utf8_target(std::string_view path, std::string_view target);

// Every name and link target below the bundle at `bundle` (nothing
// followed), each refused as above; a bundle that cannot be read is left to
// the command's own reading.
std::expected<void, std::string> check_utf8_names(const std::string& bundle);

}  // namespace kelvoma::publish
