// `kelvoma-publish bundle`: an application bundle made from a program, with
// the Info.plist that the catalog entry and the installation expect.
#pragma once

#include <span>

#include "support/publish_support.h"

namespace kelvoma::publish {

extern const std::string_view bundle_usage_text;

Outcome bundle_command(std::span<const char* const> arguments);

}  // namespace kelvoma::publish
