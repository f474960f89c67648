// A build without the application (the fuzzing build) only verifies.
#include <cstdio>

#include "application_mode.h"

namespace kelvoma {

int run_application_mode(int, char**) {
  std::fputs("Použití: kelvoma --verify-release RELEASE.JSON [ARCHIV]\n", stderr);
  return 2;
}

}  // namespace kelvoma
