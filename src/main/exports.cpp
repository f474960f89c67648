// The core's C interface. Every function is noexcept: the only exceptions
// left inside the core are memory exhaustion, which ends the process with a
// diagnostic instead of crossing into C.
#include <cstdlib>

#include "kelvoma/kelvoma.h"
#include "main/result_document.h"
#include "releases/build_config.h"
#include "releases/catalog.h"
#include "releases/install.h"
#include "releases/update_check.h"

using nlohmann::json;

namespace kelvoma {
namespace {

json catalog_document() {
  json tools = json::array();
  for (const Tool& tool : load_catalog()) {
    tools.push_back({
        {"id", tool.id},
        {"name", tool.name},
        {"description", tool.description},
        {"bundle_id", tool.bundle_id},
        {"bundle_name", tool.bundle_name},
        {"symbol", tool.symbol},
        {"integration", tool.integration == Integration::external ? "external" : "kelvoma"},
        {"github_repository", tool.github_repository},
        {"manifest_url", tool.manifest_url},
        {"archive_prefix", tool.archive_prefix},
        {"public_key", tool.public_key},
        {"team_id", tool.team_id},
    });
  }
  return tools;
}

json check_document(const char* id, const char* os_version, std::uint64_t installed_build) {
  const auto tool = find_tool(read_text_argument(id));
  if (!tool) {
    return error_document(tool.error());
  }
  const auto release = check_release(build_config(), *tool, read_text_argument(os_version));
  if (!release) {
    return error_document(release.error());
  }
  return {{"available", release->build > installed_build},
          {"build", release->build},
          {"ok", true},
          {"version", release->version}};
}

json install_document(const char* id, const char* target_path, const char* os_version,
                      StopCallback stop) {
  const InstallOutcome outcome = install_tool(build_config(), id, target_path, os_version, stop);
  json document = {{"ok", !outcome.error.has_value()}, {"relaunch", outcome.relaunch}};
  if (outcome.error) {
    document["error"] = *outcome.error;
  }
  return document;
}

}  // namespace
}  // namespace kelvoma

extern "C" char* mini_catalog(void) noexcept {
  return kelvoma::json_to_c_string(kelvoma::catalog_document());
}

extern "C" char* mini_check(const char* id, const char* os_version,
                            uint64_t installed_build) noexcept {
  return kelvoma::json_to_c_string(kelvoma::check_document(id, os_version, installed_build));
}

extern "C" char* mini_install(const char* id, const char* target_path, const char* os_version,
                              StopCallback stop) noexcept {
  return kelvoma::json_to_c_string(kelvoma::install_document(id, target_path, os_version, stop));
}

extern "C" void mini_free(char* text) noexcept { std::free(text); }
