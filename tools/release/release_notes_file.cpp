#include "release/release_notes_file.h"

#include <fstream>

#include "support/refusal.h"
#include "verify/release_notes.h"

namespace kelvoma::publish {
namespace {

std::span<const std::uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::expected<std::string, std::string> read_notes_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return std::unexpected("--notes " + path + ": soubor nelze přečíst.");
  }
  // One byte past the limit is enough to know the text is too long.
  std::string text(max_notes_text_size + 1, '\0');
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (file.bad()) {
    return std::unexpected("--notes " + path + ": soubor nelze přečíst.");
  }
  text.resize(static_cast<std::size_t>(file.gcount()));
  if (auto fits = check_notes_text(text); !fits) {
    return std::unexpected(refusal("--notes " + path, fits.error(),
                                   "prostý text UTF-8 bez znaku NUL, nejvýš 16384 bajtů",
                                   "Ulož poznámky jako prostý text v UTF-8 a zkrať je."));
  }
  return text;
}

std::expected<std::string, std::string> signed_release_notes(const KeyPair& key, const Tool& tool,
                                                             const Release& release,
                                                             std::string_view text) {
  const ReleaseNotes notes{.schema = 1,
                           .id = release.id,
                           .build = release.build,
                           .version = release.version,
                           .text = std::string(text)};
  const auto payload = release_notes_payload(notes);
  if (!payload) {
    return std::unexpected(payload.error());
  }
  std::string document = signed_envelope(key, *payload);
  // What users' Kelvoma will do with it, before it leaves.
  if (auto read = verify_release_notes(tool, {release.build, release.version}, as_bytes(document));
      !read || read->text != text) {
    return std::unexpected("release-notes.json neprošly kontrolou čtečky: " +
                           (read ? std::string("jiný text") : read.error()));
  }
  return document;
}

}  // namespace kelvoma::publish
