#include "release/release_notes_file.h"

#include "support/publish_support.h"
#include "support/refusal.h"
#include "verify/release_notes.h"

namespace kelvoma::publish {
namespace {

std::span<const std::uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::expected<std::string, std::string> read_notes_file(const std::string& path) {
  // Room for CRLF line ends, which take one byte less each once read.
  auto bytes = read_whole_file(path, 2 * max_notes_text_size);
  if (!bytes) {
    return std::unexpected("--notes " + bytes.error());
  }
  std::string text;
  for (std::size_t at = 0; at < bytes->size(); ++at) {
    const bool crlf = (*bytes)[at] == '\r' && at + 1 < bytes->size() && (*bytes)[at + 1] == '\n';
    if (!crlf) {
      text += static_cast<char>((*bytes)[at]);
    }
  }
  if (auto fits = check_notes_text(text); !fits) {
    return std::unexpected(refusal("--notes " + path, fits.error(),
                                   "prostý text UTF-8 bez znaku NUL, nejvýš 16384 bajtů",
                                   "Ulož poznámky jako prostý text v UTF-8 a zkrať je."));
  }
  if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
    return std::unexpected(refusal("--notes " + path, "prázdný text", "aspoň jeden řádek textu",
                                   "Napiš do poznámek, co vydání mění, nebo --notes vynech."));
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
