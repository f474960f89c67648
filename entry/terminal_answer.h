// What the program answers in a terminal instead of starting: "--help", "-h"
// and "--version". Neither needs a display nor a session bus.
#pragma once

#include <optional>
#include <span>
#include <string>

namespace kelvoma {

// The text for argument 1 when it is exactly "--help" or "-h" (the usage) or
// "--version" ("kelvoma VERSION"); nothing for every other shape, which starts
// the application. Later arguments are ignored.
std::optional<std::string> terminal_answer(std::span<const char* const> arguments);

}  // namespace kelvoma
