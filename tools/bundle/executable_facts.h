// What the publisher tool learns from a program before it ships: that it is
// an ELF executable the installation will start, and the processor it is
// built for, named as release manifests name it.
#pragma once

#include <expected>
#include <string>

namespace kelvoma::publish {

// The architecture ("x86_64", "arm64") of the ELF executable at `path`, a
// regular file (not a link) whose owner may execute it when `need_execute_bit`.
// Refusals name it `shown_as`.
std::expected<std::string, std::string> executable_architecture(const std::string& path,
                                                                const std::string& shown_as,
                                                                bool need_execute_bit);

// The running kernel's release as a minimum-system text ("6.1.0").
std::string running_system_version();

// A warning line when `minimum` is above the running system: users with this
// machine's kernel could not install it. Empty otherwise.
std::string minimum_system_warning(const std::string& minimum);

}  // namespace kelvoma::publish
