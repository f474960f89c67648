// Signing for tests: the fixture publisher keys, signed release manifests and
// signed archives, made at test time exactly as a publisher makes them.
//
//   auto key = fixture::load_key("orbit-action-dial");
//   Release release = fixture::fixture_release("orbit-action-dial");
//   auto published = fixture::publish_release(dir, key, release, archive_bytes);
//   // published.manifest is dir/release.json, published.archive the archive.
//
// Helpers that touch files report a broken fixture or a failed write as a
// GoogleTest failure of the calling test (and return an empty value).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "verify/manifest.h"

namespace kelvoma::fixture {

// An Ed25519 key pair. `public_key` is the base64 text a catalog carries.
struct SigningKey {
  std::array<std::uint8_t, 64> secret{};  // libsodium's form: seed, then public key
  std::string public_key;
};

// tests/fixtures/keys/<name>.key (one line: base64 of the 32-byte seed),
// checked against <name>.pub. Names: "orbit-action-dial", "pane-keeper"; their
// public keys are the ones in tests/fixtures/tools.json.
SigningKey load_key(std::string_view name);

// A fresh key that no catalog knows: "signed by someone else".
SigningKey random_key();

// The base64 text of the detached Ed25519 signature over `bytes`.
std::string sign(const SigningKey& key, std::span<const std::uint8_t> bytes);
std::string sign(const SigningKey& key, std::string_view bytes);

// "https://localhost:<port>/tobranix/<tool_id>/releases/download/", the
// archive_prefix of the fixture catalog's manifest-based tools.
std::string archive_prefix(std::string_view tool_id);

// A release of fixture tool `tool_id` ("orbit-action-dial", "pane-keeper")
// that passes every manifest and applicability check: schema 1, build 1,
// version "1.0.0", minimum_macos "13.0", architectures {"arm64", "x86_64"},
// archive_url archive_prefix + "v1.0.0/<tool_id>.zip", archive_size 1 and an
// empty archive_signature (sign_archive or publish_release fill both in).
Release fixture_release(std::string_view tool_id);

// The release's JSON object text, members in declaration order. This is the
// payload a publisher signs.
std::string release_json(const Release& release);

enum class EnvelopeForm { object, array };

// The envelope over `payload` bytes (base64-encoded here) and a signature
// text given as is. The object form is {"payload":…,"signature":…}.
std::string envelope_json(std::string_view payload, std::string_view signature,
                          EnvelopeForm form = EnvelopeForm::object);

// The envelope over `payload`, signed with `key`.
std::string signed_manifest(const SigningKey& key, std::string_view payload,
                            EnvelopeForm form = EnvelopeForm::object);
std::string signed_manifest(const SigningKey& key, const Release& release,
                            EnvelopeForm form = EnvelopeForm::object);

// A release-notes payload object text, members in the documented order
// (schema 1), written here without the publisher's text checks so that tests
// can also make notes the reader must refuse.
std::string notes_json(const Release& release, std::string_view text);

// `release` with archive_size and archive_signature describing `archive`.
Release sign_archive(const SigningKey& key, Release release, std::span<const std::uint8_t> archive);

struct PublishedRelease {
  std::filesystem::path manifest;  // <directory>/release.json
  std::filesystem::path archive;   // <directory>/<last path segment of archive_url>
  Release release;                 // as signed: archive_size and archive_signature filled in
};

// Signs `archive` into `release`, then writes the archive and the signed
// release.json into `directory` (created when missing).
PublishedRelease publish_release(const std::filesystem::path& directory, const SigningKey& key,
                                 Release release, std::span<const std::uint8_t> archive);

// Byte views and whole-file helpers.
std::span<const std::uint8_t> as_bytes(std::string_view text);
std::vector<std::uint8_t> to_bytes(std::string_view text);
void write_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);
void write_file(const std::filesystem::path& path, std::string_view text);
std::string read_file(const std::filesystem::path& path);

}  // namespace kelvoma::fixture
