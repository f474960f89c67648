// Running system programs as child processes: by absolute path, with an
// argument vector (never a shell), the environment inherited, and always
// waited for before returning.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace kelvoma {

struct Command {
  std::string program;                 // absolute path, no PATH search
  std::vector<std::string> arguments;  // without the program name
};

// Runs `command` to completion with standard input from the null device and
// both output streams drained concurrently and discarded. A program that
// cannot be started, or a failed wait, gives the system error text; any end
// but exit status 0 gives `failure_message`.
std::expected<void, std::string> run_command(const Command& command,
                                             std::string_view failure_message);

}  // namespace kelvoma
