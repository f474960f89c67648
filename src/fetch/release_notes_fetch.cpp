#include "fetch/release_notes_fetch.h"

#include "fetch/fetch.h"

namespace kelvoma {

std::expected<ReleaseNotes, std::string> fetch_release_notes(const CoreConfig& config,
                                                             const Tool& tool,
                                                             OfferedRelease offered) {
  if (tool.integration == Integration::external) {
    return std::unexpected(std::string("Aktualizace spravuje samotná aplikace."));
  }
  const auto notes = fetch_url(config, release_notes_url(tool.manifest_url), max_notes_size);
  if (!notes) {
    return std::unexpected(notes.error());
  }
  return verify_release_notes(tool, offered, notes->bytes());
}

}  // namespace kelvoma
