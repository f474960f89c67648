// mini_install and mini_install_with_progress: the install pipeline across
// the C interface.
#include <cstdlib>

#include "exports/result_document.h"
#include "install/install.h"
#include "kelvoma/kelvoma.h"
#include "verify/build_config.h"

namespace kelvoma {
namespace {

nlohmann::json install_document(const char* id, const char* target_path, const char* os_version,
                                StopCallback stop, ProgressCallback progress, void* context) {
  // The environment is read here, once; the core below receives it as a value.
  const InstallOutcome outcome = install_tool(build_config(), {.id = id,
                                                               .target_path = target_path,
                                                               .os_version = os_version,
                                                               .stop = stop,
                                                               .home = std::getenv("HOME"),
                                                               .progress = progress,
                                                               .progress_context = context});
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
  return kelvoma::json_to_c_string(
      kelvoma::install_document(id, target_path, os_version, stop, nullptr, nullptr));
}

extern "C" char* mini_install_with_progress(const char* id, const char* target_path,
                                            const char* os_version, StopCallback stop,
                                            ProgressCallback progress, void* context) noexcept {
  return kelvoma::json_to_c_string(
      kelvoma::install_document(id, target_path, os_version, stop, progress, context));
}
