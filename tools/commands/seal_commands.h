// The publisher tool's commands for code trust: signify keys, the bundle's
// seal by the developer team, the notary's ticket, and the installation's own
// check of both before a bundle ships.
#pragma once

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "support/publish_support.h"
#include "verify/build_config.h"
#include "verify/catalog.h"

namespace kelvoma::publish {

extern const std::string_view seal_usage_text;

// What a bundle is checked against; the keys are the base64 lines of
// signify public keys.
struct BundleCheck {
  std::string identifier;
  std::string team;
  std::string team_key;
  std::string notary_key;
};

// The keys and the catalog entry that `check` stands for (the machine is
// set for each program's processor where one is checked).
std::pair<CoreConfig, Tool> checked_as(const BundleCheck& check);

// The installation's verdict on the bundle at `bundle`: Info.plist's
// CFBundleIdentifier is the expected one, then the seal and the ticket hold.
std::expected<void, std::string> check_sealed_bundle(const std::string& bundle,
                                                     const BundleCheck& check);

// The outcome of `command` with its arguments, or nothing when `command` is
// not one of these.
std::optional<Outcome> run_seal_command(std::string_view command,
                                        std::span<const char* const> arguments);

}  // namespace kelvoma::publish
