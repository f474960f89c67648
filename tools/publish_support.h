// What the publisher tool's commands share: their outcome, file writing that
// never leaves half a file, and the command-line options.
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelvoma::publish {

// A failed command: its message, and whether the command line was at fault
// (then the usage text follows the message and the status is 2).
struct Failure {
  std::string message;
  bool usage = false;
};

// What a command prints on success, or its failure.
using Outcome = std::expected<std::string, Failure>;

std::unexpected<Failure> fail(std::string message);
std::unexpected<Failure> usage_error(std::string message);

std::expected<std::vector<std::uint8_t>, std::string> read_whole_file(const std::string& path);

// A new file, readable by its owner only; an existing file is never replaced
// (a lost key cannot be recovered).
std::expected<void, std::string> create_private_file(const std::string& path,
                                                     std::string_view text);

// A new file of mode 0644; an existing file is never replaced.
std::expected<void, std::string> create_file(const std::string& path, std::string_view text);

// Replaces `path` only once the new contents are complete.
std::expected<void, std::string> replace_file(const std::string& path, std::string_view text);

struct OptionSpec {
  std::string_view name;
  bool repeatable = false;
  bool required = true;
  bool flag = false;  // takes no value
};

// Values by option name; the positional arguments under "".
using Options = std::map<std::string, std::vector<std::string>, std::less<>>;

// "--name value" or "--name=value"; every option at most once unless it is
// repeatable; every required option present; exactly `positional` other
// arguments.
std::expected<Options, Failure> parse_options(std::span<const OptionSpec> specs,
                                              std::span<const char* const> arguments,
                                              std::size_t positional = 0);

const std::string& single(const Options& options, std::string_view name);

}  // namespace kelvoma::publish
