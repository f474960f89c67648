#include "exec_value.h"

#include <algorithm>

namespace kelvoma::app::system {
namespace {

constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
constexpr std::string_view kEscapedInQuotes = "\"`$\\";
constexpr std::string_view kKnownEscapes = "sntr\\";
constexpr const char* kUnwritable =
    "Cesta k programu obsahuje znaky, se kterými ho pracovní prostředí nespustí.";

bool hasControlCharacter(std::string_view text) {
  return std::ranges::any_of(text, [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

std::string quotedArgument(std::string_view argument) {
  const bool plain =
      !argument.empty() && argument.find_first_of(kReserved) == std::string_view::npos;
  std::string quoted = plain ? "" : "\"";
  for (const char c : argument) {
    if (!plain && kEscapedInQuotes.find(c) != std::string_view::npos) {
      quoted += '\\';
    }
    quoted += c == '%' ? "%%" : std::string(1, c);
  }
  return plain ? quoted : quoted + "\"";
}

// The string value's escapes undone; an unknown escape is kept as written.
std::string unescapedValue(std::string_view value) {
  std::string text;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char next = i + 1 < value.size() ? value[i + 1] : '\0';
    if (value[i] != '\\' || next == '\0' || kKnownEscapes.find(next) == std::string_view::npos) {
      text += value[i];
      continue;
    }
    ++i;
    text += next == 's' ? ' ' : next == 'n' ? '\n' : next == 't' ? '\t' : next == 'r' ? '\r' : next;
  }
  return text;
}

std::vector<std::string> execArguments(std::string_view line) {
  std::vector<std::string> arguments;
  bool quoted = false;
  bool within = false;  // inside an argument
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (!quoted && c == ' ') {
      within = false;
      continue;
    }
    if (!within) {
      arguments.emplace_back();
      within = true;
    }
    if (c == '"') {
      quoted = !quoted;
    } else if (quoted && c == '\\' && i + 1 < line.size() &&
               kEscapedInQuotes.find(line[i + 1]) != std::string_view::npos) {
      arguments.back() += line[++i];
    } else if (c == '%' && i + 1 < line.size() && line[i + 1] == '%') {
      arguments.back() += line[++i];
    } else {
      arguments.back() += c;
    }
  }
  return arguments;
}

}  // namespace

std::string escapedValue(std::string_view text) {
  std::string value;
  for (const char c : text) {
    switch (c) {
      case '\\':
        value += "\\\\";
        break;
      case '\n':
        value += "\\n";
        break;
      case '\t':
        value += "\\t";
        break;
      case '\r':
        value += "\\r";
        break;
      default:
        value += c;
    }
  }
  return value.starts_with(' ') ? "\\s" + value.substr(1) : value;
}

std::expected<std::string, std::string> execValue(const std::vector<std::string>& command) {
  if (command.empty() || command.front().empty() ||
      std::ranges::any_of(command, hasControlCharacter)) {
    return std::unexpected(kUnwritable);
  }
  const std::string& program = command.front();
  const bool launched = program.find('%') != std::string::npos;
  if (launched && program.find('=') != std::string::npos) {
    return std::unexpected(kUnwritable);
  }
  std::string line = launched ? std::string(kExecLauncher) : "";
  for (const std::string& argument : command) {
    line += (line.empty() ? "" : " ") + quotedArgument(argument);
  }
  return escapedValue(line);
}

std::string programOfExecValue(std::string_view value) {
  const auto arguments = execArguments(unescapedValue(value));
  if (arguments.size() > 1 && arguments.front() == kExecLauncher) {
    return arguments[1];
  }
  return arguments.empty() ? std::string() : arguments.front();
}

}  // namespace kelvoma::app::system
