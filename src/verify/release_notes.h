// The signed release notes ("release-notes.json") of a manifest-based tool:
// what a release changes, in the publisher's words, shown before it is
// installed. A document of its own beside release.json, so that builds that
// know nothing of notes keep reading the manifest they always read.
//
// The file, at most 65536 bytes, is the manifest's envelope
//   {"payload": "<base64 of the payload bytes>",
//    "signature": "<base64 of the Ed25519 signature over the payload bytes>"}
// signed with the tool's release key, whose payload is exactly one object
//   {"schema": 1, "id": "<tool id>", "build": <build>, "version": "<version>",
//    "text": "<notes>"}
// with no other member, none given twice, each of its type (the array form
// that manifests allow is refused). The text is plain UTF-8 of at most
// 16384 bytes, without NUL, lines joined by "\n"; it is shown as plain text,
// never interpreted. Notes count only for the release they name: id, build
// and version equal to the release on offer.
//
// The strict record readers keep notes and manifests apart: a notes payload
// lacks the manifest's members and a manifest payload carries members that
// notes refuse, so neither passes for the other under the same key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "verify/catalog.h"

namespace kelvoma {

inline constexpr std::size_t max_notes_size = 65536;
inline constexpr std::size_t max_notes_text_size = 16384;
inline constexpr std::string_view notes_file_name = "release-notes.json";

// The signed payload.
struct ReleaseNotes {
  std::uint32_t schema = 0;
  std::string id;
  std::uint64_t build = 0;
  std::string version;
  std::string text;

  bool operator==(const ReleaseNotes&) const = default;
};

// The release the notes must name.
struct OfferedRelease {
  std::uint64_t build = 0;
  std::string_view version;
};

// Record reader of the payload (unknown members, repeated members, the array
// form and wrong types refused). Errors are developer-facing descriptions.
std::expected<ReleaseNotes, std::string> parse_release_notes(std::string_view text);

// The text rules, for the publisher and the reader alike: well-formed UTF-8,
// at most max_notes_text_size bytes, no NUL. Messages:
//   "Text poznámek není platné UTF-8."
//   "Text poznámek je delší než 16384 bajtů."
//   "Text poznámek obsahuje znak NUL."
std::expected<void, std::string> check_notes_text(std::string_view text);

// The notes as a JSON object with their members in declaration order: the
// payload a publisher signs. Fails with a message of check_notes_text.
std::expected<std::string, std::string> release_notes_payload(const ReleaseNotes& notes);

// Turns notes bytes into trusted notes of `offered` for `tool`: size bound,
// envelope, payload base64, signature with the tool's key (before the payload
// is read), record, schema 1 and the text rules, then the tool's id and the
// offered build and version. Messages, in this order:
//   "Aktualizace spravuje samotná aplikace."        external tool
//   "Poznámky k vydání jsou příliš velké."           over max_notes_size
//   "Neplatné poznámky k vydání."                    envelope, base64, record
//   the signature's messages (verify_signature)
//   a message of check_notes_text
//   "Poznámky k vydání patří k jinému vydání."      id, build or version differ
std::expected<ReleaseNotes, std::string> verify_release_notes(const Tool& tool,
                                                              OfferedRelease offered,
                                                              std::span<const std::uint8_t> notes);

// Where a tool's notes are served: `manifest_url` with its last path segment
// (after the last "/") replaced by notes_file_name; query and fragment, which
// a manifest address does not use, are dropped with it.
std::string release_notes_url(std::string_view manifest_url);

}  // namespace kelvoma
