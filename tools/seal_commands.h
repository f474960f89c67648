// The publisher tool's commands for code trust: signify keys, the bundle's
// seal by the developer team, the notary's ticket, and the installation's own
// check of both before a bundle ships.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "publish_support.h"

namespace kelvoma::publish {

extern const std::string_view seal_usage_text;

// The outcome of `command` with its arguments, or nothing when `command` is
// not one of these.
std::optional<Outcome> run_seal_command(std::string_view command,
                                        std::span<const char* const> arguments);

}  // namespace kelvoma::publish
