// What the program does when it is not asked to verify a release. The build
// links exactly one definition: the tray application (application_mode.cpp)
// or, in a build without it, a usage line (no_application_mode.cpp).
#pragma once

namespace kelvoma {

// Runs with the process's arguments; returns the exit status.
int run_application_mode(int argc, char** argv);

}  // namespace kelvoma
