// mini_check: the update check across the C interface.
#include "exports/result_document.h"
#include "fetch/update_check.h"
#include "kelvoma/kelvoma.h"
#include "verify/build_config.h"
#include "verify/catalog.h"
#include "verify/util/text_argument.h"

namespace kelvoma {
namespace {

nlohmann::json check_document(const char* id, const char* os_version,
                              std::uint64_t installed_build) {
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

}  // namespace
}  // namespace kelvoma

extern "C" char* mini_check(const char* id, const char* os_version,
                            uint64_t installed_build) noexcept {
  return kelvoma::json_to_c_string(kelvoma::check_document(id, os_version, installed_build));
}
