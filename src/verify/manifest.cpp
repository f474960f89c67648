#include "verify/manifest.h"

#include <algorithm>

#include "verify/crypto/base64.h"
#include "verify/crypto/signature.h"
#include "verify/json_record.h"

namespace kelvoma {
namespace {

using nlohmann::json;

constexpr std::string_view external_tool = "Aktualizace spravuje samotná aplikace.";
constexpr std::string_view too_large = "Informace o verzi jsou příliš velké.";
constexpr std::string_view invalid_envelope = "Neplatné informace o verzi.";
constexpr std::string_view invalid_payload = "Neplatná data verze.";
constexpr std::string_view unsupported_release = "Nepodporovaný formát verze.";
constexpr std::string_view foreign_release = "Vydání neodpovídá nástroji v katalogu.";

constexpr std::string_view https_scheme = "https://";
constexpr std::size_t max_version_size = 40;
constexpr std::size_t max_archive_url_size = 2048;

std::string_view as_text(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

bool fill_release(const std::vector<const json*>& m, Release& release, std::string& error) {
  using namespace json_record;
  std::uint64_t schema = 0;
  const bool read = read_into(unsigned_value(*m[0], UINT32_MAX), schema, error) &&
                    read_into(text_value(*m[1]), release.id, error) &&
                    read_into(text_value(*m[2]), release.bundle_id, error) &&
                    read_into(text_value(*m[3]), release.version, error) &&
                    read_into(unsigned_value(*m[4]), release.build, error) &&
                    read_into(text_value(*m[5]), release.minimum_macos, error) &&
                    read_into(text_array(*m[6]), release.architectures, error) &&
                    read_into(text_value(*m[7]), release.archive_url, error) &&
                    read_into(unsigned_value(*m[8]), release.archive_size, error) &&
                    read_into(text_value(*m[9]), release.archive_signature, error);
  release.schema = static_cast<std::uint32_t>(schema);
  return read;
}

// The consistency rules that bind a signed release to its catalog entry.
bool belongs_to(const Release& release, const Tool& tool) {
  const std::string_view url = release.archive_url;
  return release.schema == 1 && release.id == tool.id && release.bundle_id == tool.bundle_id &&
         release.build != 0 && !release.version.empty() &&
         release.version.size() <= max_version_size && url.starts_with(tool.archive_prefix) &&
         url.starts_with(https_scheme) && url.size() <= max_archive_url_size &&
         release.archive_size >= 1 && release.archive_size <= max_archive_size;
}

}  // namespace

std::expected<Envelope, std::string> parse_envelope(std::string_view text) {
  const auto document = json_record::parse_document(text);
  if (!document) {
    return std::unexpected(document.error());
  }
  const auto members = json_record::read_members(*document, {{"payload"}, {"signature"}},
                                                 json_record::manifest_rules);
  if (!members) {
    return std::unexpected(members.error());
  }
  Envelope envelope;
  std::string error;
  if (!json_record::read_into(json_record::text_value(*(*members)[0]), envelope.payload, error) ||
      !json_record::read_into(json_record::text_value(*(*members)[1]), envelope.signature, error)) {
    return std::unexpected(std::move(error));
  }
  return envelope;
}

std::expected<Release, std::string> parse_release(std::string_view text) {
  const auto document = json_record::parse_document(text);
  if (!document) {
    return std::unexpected(document.error());
  }
  const auto members = json_record::read_members(*document,
                                                 {{"schema"},
                                                  {"id"},
                                                  {"bundle_id"},
                                                  {"version"},
                                                  {"build"},
                                                  {"minimum_macos"},
                                                  {"architectures"},
                                                  {"archive_url"},
                                                  {"archive_size"},
                                                  {"archive_signature"}},
                                                 json_record::manifest_rules);
  if (!members) {
    return std::unexpected(members.error());
  }
  Release release;
  std::string error;
  if (!fill_release(*members, release, error)) {
    return std::unexpected(std::move(error));
  }
  return release;
}

std::expected<std::vector<std::uint8_t>, std::string> signed_payload(
    std::span<const std::uint8_t> document, std::string_view public_key,
    EnvelopeMessages messages) {
  const auto envelope = parse_envelope(as_text(document));
  if (!envelope) {
    return std::unexpected(std::string(messages.envelope));
  }
  auto payload = decode_base64(envelope->payload);
  if (!payload) {
    return std::unexpected(std::string(messages.payload));
  }
  // The payload is authenticated before a single byte of it is interpreted.
  if (auto signed_by_publisher = verify_signature(*payload, envelope->signature, public_key);
      !signed_by_publisher) {
    return std::unexpected(std::move(signed_by_publisher.error()));
  }
  return std::move(*payload);
}

std::expected<Release, std::string> verify_release_manifest(
    const Tool& tool, std::span<const std::uint8_t> manifest) {
  if (tool.integration == Integration::external) {
    return std::unexpected(std::string(external_tool));
  }
  if (manifest.size() > max_manifest_size) {
    return std::unexpected(std::string(too_large));
  }
  const auto payload =
      signed_payload(manifest, tool.public_key, {invalid_envelope, invalid_payload});
  if (!payload) {
    return std::unexpected(payload.error());
  }
  auto release = parse_release(as_text(*payload));
  if (!release) {
    return std::unexpected(std::string(unsupported_release));
  }
  if (!belongs_to(*release, tool)) {
    return std::unexpected(std::string(foreign_release));
  }
  return release;
}

std::expected<void, std::string> require_supported_architecture(const Release& release,
                                                                const CoreConfig& config) {
  return require_architecture(release.architectures, config.code_trust, config.machine);
}

std::expected<std::string, std::string> release_payload(const Release& release) {
  nlohmann::ordered_json object;
  object["schema"] = release.schema;
  object["id"] = release.id;
  object["bundle_id"] = release.bundle_id;
  object["version"] = release.version;
  object["build"] = release.build;
  object["minimum_macos"] = release.minimum_macos;
  object["architectures"] = release.architectures;
  object["archive_url"] = release.archive_url;
  object["archive_size"] = release.archive_size;
  object["archive_signature"] = release.archive_signature;
  try {
    return object.dump();
  } catch (const nlohmann::json::type_error&) {
    return std::unexpected(std::string("text that is not UTF-8"));
  }
}

}  // namespace kelvoma
