// The install pipeline: from a catalog id to a bundle in place.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "kelvoma/kelvoma.h"
#include "releases/build_config.h"
#include "releases/replace.h"

namespace kelvoma {

struct InstallOutcome {
  bool relaunch = false;             // `stop` returned 1 during this call
  std::optional<std::string> error;  // the failing step's message, if any
};

// Whether `target` names "/Applications/<bundle_name>" or
// "<home>/Applications/<bundle_name>", compared component by component
// (repeated separators, a trailing separator and "." make no difference;
// ".." is not resolved; case matters).
bool is_permitted_target(std::string_view target, std::string_view bundle_name,
                         std::string_view home);

// Reads the C arguments (NULL or invalid UTF-8 as empty), looks the tool up
// and runs the route of its integration. `stop` receives `id` and
// `target_path` exactly as given; a NULL `stop` counts as "not running".
// The install directory (".kelvoma-install-XXXXXX" next to the target) is
// gone when the call returns, except after a failed replacement that left
// the replaced bundle only as its "previous.app". `renames` performs the
// final step's renames (tests make them fail).
InstallOutcome install_tool(const CoreConfig& config, const char* id, const char* target_path,
                            const char* os_version, StopCallback stop,
                            const RenameOperations& renames = system_rename_operations());

}  // namespace kelvoma
