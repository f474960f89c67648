// `kelvoma-publish release`: a bundle in, release.json and the archive out,
// but only once every check that a user's installation makes has passed on
// the very files that will be uploaded.
#pragma once

#include <span>

#include "support/publish_support.h"

namespace kelvoma::publish {

extern const std::string_view release_usage_text;

Outcome release_command(std::span<const char* const> arguments);

}  // namespace kelvoma::publish
