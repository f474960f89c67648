// mini_install: the install pipeline across the C interface.
#include "kelvoma/kelvoma.h"
#include "main/result_document.h"
#include "releases/build_config.h"
#include "releases/install.h"

namespace kelvoma {
namespace {

nlohmann::json install_document(const char* id, const char* target_path, const char* os_version,
                                StopCallback stop) {
  const InstallOutcome outcome = install_tool(build_config(), id, target_path, os_version, stop);
  nlohmann::json document = {{"ok", !outcome.error.has_value()}, {"relaunch", outcome.relaunch}};
  if (outcome.error) {
    document["error"] = *outcome.error;
  }
  return document;
}

}  // namespace
}  // namespace kelvoma

extern "C" char* mini_install(const char* id, const char* target_path, const char* os_version,
                              StopCallback stop) noexcept {
  return kelvoma::json_to_c_string(kelvoma::install_document(id, target_path, os_version, stop));
}
