// The tray application, in builds that carry it.
#include "application_mode.h"

#include "kelvoma_run.h"

namespace kelvoma {

int run_application_mode(int argc, char** argv) { return kelvoma_run(argc, argv); }

}  // namespace kelvoma
