// Runs a program as a child process and collects what it printed, for tests
// of executables as a user meets them.
#pragma once

#include <string>
#include <vector>

namespace kelvoma::testing {

struct ProgramResult {
  std::string out;
  std::string err;
  int exit_status = -1;  // -1 when the program did not exit normally
};

// Runs `arguments` (argument 0 is the program path) with the current
// environment plus `environment` entries ("NAME=value"), standard input
// from the null device.
ProgramResult run_program(const std::vector<std::string>& arguments,
                          const std::vector<std::string>& environment = {});

}  // namespace kelvoma::testing
