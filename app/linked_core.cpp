// Kept in its own file so that only executables that carry the core pull it in.
#include "core.h"

namespace kelvoma::app {

Core linkedCore() {
  return Core{.catalog = &mini_catalog,
              .check = &mini_check,
              .install = &mini_install,
              .free = &mini_free,
              .installWithProgress = &mini_install_with_progress};
}

}  // namespace kelvoma::app
