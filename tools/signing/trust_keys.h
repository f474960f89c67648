// The keys a publisher checks a bundle's seal and ticket with: given files,
// or else those compiled into this build, as its users' installations do.
#pragma once

#include <expected>
#include <optional>
#include <string>

#include "verify/build_config.h"

namespace kelvoma::publish {

// The base64 line of a signify public key file, or "PATH: není veřejný klíč
// signify." and the like.
std::expected<std::string, std::string> load_public_key_line(const std::string& path);

// Code trust by seal with `team`'s key and the notary's key from the files;
// without files, this build's own configuration.
std::expected<CoreConfig, std::string> trust_config(const std::optional<std::string>& team_key,
                                                    const std::optional<std::string>& notary_key,
                                                    const std::string& team);

}  // namespace kelvoma::publish
