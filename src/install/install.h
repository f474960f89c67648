// The install pipeline: from a catalog id to a bundle in place.
#pragma once

#include <optional>
#include <string>

#include "install/replace.h"
#include "kelvoma/kelvoma.h"
#include "verify/build_config.h"

namespace kelvoma {

struct InstallOutcome {
  bool relaunch = false;             // `stop` returned 1 during this call
  std::optional<std::string> error;  // the failing step's message, if any
};

// The C interface's arguments, as received, and the one value of the
// environment that an installation depends on.
struct InstallArguments {
  const char* id = nullptr;
  const char* target_path = nullptr;
  const char* os_version = nullptr;
  StopCallback stop = nullptr;
  const char* home = nullptr;           // "HOME" as the caller read it; null: not set
  ProgressCallback progress = nullptr;  // null: nothing reported
  void* progress_context = nullptr;
};

// Reads the C arguments (NULL or invalid UTF-8 as empty), looks the tool up
// and runs the route of its integration. `stop` receives `id` and
// `target_path` exactly as given; a NULL `stop` counts as "not running".
// Before the release check (so also when the release host cannot be
// reached), what crashed installations left beside a permitted target is
// put back or removed (install_recovery.h); the target is judged silently
// for it, and its messages come in their usual place. The
// downloaded archive is named in the install directory only once it has
// passed its check (archive_download.h), and the new bundle is on disk
// before the first rename. The install directory (".kelvoma-install-XXXXXX"
// next to the target) is gone when the call returns, except while it holds
// "previous.app": after a failed restore that is the only copy of the
// replaced bundle, whatever now occupies the target. After a success the
// backup is renamed to a throw-away name before it is deleted.
// `progress` is told how far the installation is (install_progress.h).
// `renames` performs the final step's renames (tests make them fail).
InstallOutcome install_tool(const CoreConfig& config, const InstallArguments& arguments,
                            const RenameOperations& renames = system_rename_operations());

}  // namespace kelvoma
