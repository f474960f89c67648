// mini_release_notes: the offered release's notes across the C interface.
#include "exports/result_document.h"
#include "fetch/release_notes_fetch.h"
#include "kelvoma/kelvoma.h"
#include "verify/build_config.h"
#include "verify/catalog.h"
#include "verify/util/text_argument.h"

namespace kelvoma {
namespace {

nlohmann::json notes_document(const char* id, std::uint64_t build, const char* version) {
  const auto tool = find_tool(read_text_argument(id));
  if (!tool) {
    return error_document(tool.error());
  }
  const std::string offered_version = read_text_argument(version);
  const auto notes = fetch_release_notes(build_config(), *tool, {build, offered_version});
  if (!notes) {
    return error_document(notes.error());
  }
  return {{"ok", true}, {"text", notes->text}};
}

}  // namespace
}  // namespace kelvoma

extern "C" char* mini_release_notes(const char* id, uint64_t build, const char* version) noexcept {
  return kelvoma::json_to_c_string(kelvoma::notes_document(id, build, version));
}
