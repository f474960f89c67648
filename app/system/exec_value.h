// The Exec key of a desktop entry, written and read by one set of rules, for
// the login entry and the tools' entries alike.
//
// Written: each argument in double quotes when it holds a character the
// Desktop Entry rules reserve (with '"', '`', '$' and '\' escaped inside),
// every '%' doubled, then the string value's own escapes. A program whose
// path holds a '%' is started through "/usr/bin/env": GLib looks the first
// argument up before it decodes "%%", and would not find the program.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace kelvoma::app::system {

// The fixed first argument in front of a program whose path holds a '%'.
inline constexpr const char* kExecLauncher = "/usr/bin/env";

// The Exec value that starts exactly command (the program, then its
// arguments). Refused for an empty command, a control character, or a
// program with both '%' and '=' (env would take it for a variable).
std::expected<std::string, std::string> execValue(const std::vector<std::string>& command);

// The escapes of a string value: backslash, line breaks, tabs, a leading space.
std::string escapedValue(std::string_view text);

// The program an Exec value starts, as a desktop reads it: the value's
// escapes, then the quoting, then "%%"; the argument after the fixed launcher
// when it has one. Lenient with what other programs wrote.
std::string programOfExecValue(std::string_view value);

}  // namespace kelvoma::app::system
