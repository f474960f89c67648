// The program entry: the release verifier, or the application.
#include <cstdio>
#include <span>

#include "application_mode.h"
#include "main/verify_command.h"

int main(int argc, char** argv) {
  const std::span<const char* const> arguments(argv, static_cast<std::size_t>(argc));
  if (kelvoma::is_verify_release(arguments)) {
    return kelvoma::run_verify_release(arguments, stdout, stderr);
  }
  return kelvoma::run_application_mode(argc, argv);
}
