// A new release serves every processor the published one serves, unless the
// publisher drops one by name: otherwise its users would silently stop
// getting updates, their every check failing.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "release/previous_release.h"

namespace kelvoma::publish {

// The names of --drop-processor, each a processor a release can name.
std::expected<std::vector<std::string>, std::string> processors_to_drop(
    const std::vector<std::string>& names);

// Refuses, naming the first processor that `published` serves and
// `architectures` (the new release's) leaves out, unless it is in `dropped`.
std::expected<void, std::string> check_processors_kept(
    const std::optional<PublishedRelease>& published, const std::vector<std::string>& architectures,
    const std::vector<std::string>& dropped);

}  // namespace kelvoma::publish
