#include <string_view>

#include "install/install_paths.h"
#include "install/install_recovery.h"
#include "verify/catalog.h"
#include "verify/util/text_argument.h"

namespace kelvoma {

std::expected<bool, std::string> recover_tool(const char* id, const char* home) {
  const auto tool = find_tool(read_text_argument(id));
  if (!tool) {
    return std::unexpected(tool.error());
  }
  // As for an installation: a home that is no absolute path is none.
  if (home == nullptr || !std::string_view(home).starts_with('/')) {
    return std::unexpected("Chybí domovský adresář.");
  }
  bool recovered = false;
  for (const std::string& folder :
       {std::string("/Applications"), join_path(home, "Applications")}) {
    const std::string target = join_path(folder, tool->bundle_name);
    if (is_permitted_target(target, tool->bundle_name, home)) {
      recovered =
          recover_abandoned_installations(normalized_path(target), tool->bundle_id) || recovered;
    }
  }
  return recovered;
}

}  // namespace kelvoma
