// The program entry: an answer in the terminal, the release verifier, or the
// application.
#include <cstdio>
#include <span>

#include "application_mode.h"
#include "exports/verify_command.h"
#include "terminal_answer.h"

int main(int argc, char** argv) {
  const std::span<const char* const> arguments(argv, static_cast<std::size_t>(argc));
  if (const auto answer = kelvoma::terminal_answer(arguments)) {
    return std::fputs(answer->c_str(), stdout) < 0 || std::fflush(stdout) != 0 ? 1 : 0;
  }
  if (kelvoma::is_verify_release(arguments)) {
    return kelvoma::run_verify_release(arguments, stdout, stderr);
  }
  return kelvoma::run_application_mode(argc, argv);
}
