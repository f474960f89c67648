// `release --notes FILE`: the release's notes, read and checked while the
// release is planned (before anything is written), then signed for exactly
// that release and read back as a user's Kelvoma reads them.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "signing/release_signing.h"
#include "verify/catalog.h"
#include "verify/manifest.h"

namespace kelvoma::publish {

// The notes' text from FILE, its CRLF line ends read as LF: at most 16384
// bytes of UTF-8 without NUL and not empty (nor only blanks), or a refusal
// naming the file, what was found and what to do.
std::expected<std::string, std::string> read_notes_file(const std::string& path);

// release-notes.json for `release` (its id, build and version), signed with
// `key`, once the core's own reader accepts it with the entry's public key.
std::expected<std::string, std::string> signed_release_notes(const KeyPair& key, const Tool& tool,
                                                             const Release& release,
                                                             std::string_view text);

}  // namespace kelvoma::publish
