// `kelvoma-publish verify`: a published release.json, and its archive when
// given, checked as a user's installation checks them, for any tool of the
// catalog (the key, identifiers and address of the tool named by --id).
#pragma once

#include <span>
#include <string_view>

#include "support/publish_support.h"

namespace kelvoma::publish {

extern const std::string_view verify_usage_text;

Outcome verify_command(std::span<const char* const> arguments);

}  // namespace kelvoma::publish
