// kelvomactl's command line: the command, its tools and its options, and
// the help texts. Pure: no output, no environment.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <vector>

namespace kelvoma::app::terminal {

// The exit codes, as the manual page lists them.
enum Exit : int {
  done = 0,
  failed = 1,         // a step was refused or failed
  usage = 2,          // wrong arguments, an unknown tool
  busy = 3,           // another installation of the tool runs
  noNetwork = 4,      // the release host could not be reached
  leftRunning = 5,    // a running tool left alone (no --stop-running)
  updatesFound = 100  // check: a newer release of an installed tool
};

enum class Command { status, check, update, install, notes, remove, restore, reset };

struct Options {
  std::optional<Command> command;  // none with --help or --version alone
  std::vector<std::string> tools;
  bool json = false;
  bool quiet = false;
  bool stopRunning = false;
  bool dryRun = false;
  bool help = false;
  bool version = false;
};

// The arguments after the program name. The error is one Czech line.
std::expected<Options, std::string> parseOptions(const std::vector<std::string>& arguments);

std::string commandName(Command command);
std::string programHelp();
std::string commandHelp(Command command);

}  // namespace kelvoma::app::terminal
