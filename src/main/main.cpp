// The program entry: the release verifier or the application.
#include <cstdio>
#include <span>

#include "main/verify_command.h"

#ifdef KELVOMA_WITH_APP
#include "kelvoma_run.h"
#endif

int main(int argc, char** argv) {
  const std::span<const char* const> arguments(argv, static_cast<std::size_t>(argc));
  if (kelvoma::is_verify_release(arguments)) {
    return kelvoma::run_verify_release(arguments, stdout, stderr);
  }
#ifdef KELVOMA_WITH_APP
  kelvoma_run(argc, argv);
  return 0;
#else
  std::fputs("Použití: kelvoma --verify-release RELEASE.JSON [ARCHIV]\n", stderr);
  return 2;
#endif
}
