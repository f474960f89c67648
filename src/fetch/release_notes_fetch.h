// The release notes of an offered release, fetched from beside its manifest.
#pragma once

#include <expected>
#include <string>

#include "verify/build_config.h"
#include "verify/catalog.h"
#include "verify/release_notes.h"

namespace kelvoma {

// Fetches release_notes_url(tool.manifest_url) through the same transfer as
// the manifest (at most 65536 bytes, the same time limits) and verifies it
// for `offered` (verify_release_notes). External tools are refused before any
// transfer. Messages: those of fetch_url, then those of verify_release_notes.
std::expected<ReleaseNotes, std::string> fetch_release_notes(const CoreConfig& config,
                                                             const Tool& tool,
                                                             OfferedRelease offered);

}  // namespace kelvoma
