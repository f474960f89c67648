// Kept in its own file so that only executables that carry the core pull it in.
#include "core.h"

namespace kelvoma::app {

Core linkedCore() { return Core{&mini_catalog, &mini_check, &mini_install, &mini_free}; }

}  // namespace kelvoma::app
