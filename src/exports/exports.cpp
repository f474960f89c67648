// The catalog half of the core's C interface. The exported functions are
// noexcept: the only exception left inside the core is memory exhaustion,
// which ends the process with a diagnostic instead of crossing into C.
// mini_check and mini_install live in files of their own so that a program
// linking only the catalog does not drag in transfers and installation.
#include <cstdlib>

#include "exports/result_document.h"
#include "kelvoma/kelvoma.h"
#include "verify/catalog.h"

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

}  // namespace
}  // namespace kelvoma

extern "C" char* mini_catalog(void) noexcept {
  return kelvoma::json_to_c_string(kelvoma::catalog_document());
}

extern "C" void mini_free(char* text) noexcept { std::free(text); }
