// Kept in its own file so that only executables that carry the core pull it in.
#include "core.h"

namespace kelvoma::app {

Core linkedCore() {
  return Core{.catalog = &mini_catalog,
              .check = &mini_check,
              .install = &mini_install,
              .free = &mini_free,
              .recover = &mini_recover,
              .installWithProgress = &mini_install_with_progress,
              .releaseNotes = &mini_release_notes};
}

}  // namespace kelvoma::app
