#include "verify/release_notes.h"

#include <nlohmann/json.hpp>

#include "verify/json_record.h"
#include "verify/manifest.h"
#include "verify/util/text_argument.h"

namespace kelvoma {
namespace {

using nlohmann::json;

constexpr std::string_view external_tool = "Aktualizace spravuje samotná aplikace.";
constexpr std::string_view too_large = "Poznámky k vydání jsou příliš velké.";
constexpr std::string_view invalid_notes = "Neplatné poznámky k vydání.";
constexpr std::string_view other_release = "Poznámky k vydání patří k jinému vydání.";
constexpr std::string_view not_utf8 = "Text poznámek není platné UTF-8.";
constexpr std::string_view too_long = "Text poznámek je delší než 16384 bajtů.";
constexpr std::string_view has_nul = "Text poznámek obsahuje znak NUL.";

std::string_view as_text(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::expected<ReleaseNotes, std::string> fill_notes(const std::vector<const json*>& m) {
  using namespace json_record;
  ReleaseNotes notes;
  std::uint64_t schema = 0;
  std::string error;
  if (!(read_into(unsigned_value(*m[0], UINT32_MAX), schema, error) &&
        read_into(text_value(*m[1]), notes.id, error) &&
        read_into(unsigned_value(*m[2]), notes.build, error) &&
        read_into(text_value(*m[3]), notes.version, error) &&
        read_into(text_value(*m[4]), notes.text, error))) {
    return std::unexpected(std::move(error));
  }
  notes.schema = static_cast<std::uint32_t>(schema);
  return notes;
}

bool names(const ReleaseNotes& notes, const Tool& tool, OfferedRelease offered) {
  return notes.id == tool.id && notes.build == offered.build && notes.version == offered.version;
}

}  // namespace

std::expected<ReleaseNotes, std::string> parse_release_notes(std::string_view text) {
  const auto document = json_record::parse_document(text);
  if (!document) {
    return std::unexpected(document.error());
  }
  const auto members = json_record::read_members(
      *document, {{"schema"}, {"id"}, {"build"}, {"version"}, {"text"}}, json_record::notes_rules);
  if (!members) {
    return std::unexpected(members.error());
  }
  return fill_notes(*members);
}

std::expected<void, std::string> check_notes_text(std::string_view text) {
  if (!is_valid_utf8(text)) {
    return std::unexpected(std::string(not_utf8));
  }
  if (text.size() > max_notes_text_size) {
    return std::unexpected(std::string(too_long));
  }
  if (text.find('\0') != std::string_view::npos) {
    return std::unexpected(std::string(has_nul));
  }
  return {};
}

std::expected<std::string, std::string> release_notes_payload(const ReleaseNotes& notes) {
  if (auto fits = check_notes_text(notes.text); !fits) {
    return std::unexpected(std::move(fits.error()));
  }
  nlohmann::ordered_json object;
  object["schema"] = notes.schema;
  object["id"] = notes.id;
  object["build"] = notes.build;
  object["version"] = notes.version;
  object["text"] = notes.text;
  try {
    return object.dump();
  } catch (const nlohmann::json::type_error&) {
    return std::unexpected(std::string(not_utf8));
  }
}

std::expected<ReleaseNotes, std::string> verify_release_notes(const Tool& tool,
                                                              OfferedRelease offered,
                                                              std::span<const std::uint8_t> notes) {
  if (tool.integration == Integration::external) {
    return std::unexpected(std::string(external_tool));
  }
  if (notes.size() > max_notes_size) {
    return std::unexpected(std::string(too_large));
  }
  const auto payload = signed_payload(notes, tool.public_key, {invalid_notes, invalid_notes});
  if (!payload) {
    return std::unexpected(payload.error());
  }
  auto read = parse_release_notes(as_text(*payload));
  if (!read || read->schema != 1) {
    return std::unexpected(std::string(invalid_notes));
  }
  if (auto fits = check_notes_text(read->text); !fits) {
    return std::unexpected(std::move(fits.error()));
  }
  if (!names(*read, tool, offered)) {
    return std::unexpected(std::string(other_release));
  }
  return read;
}

std::string release_notes_url(std::string_view manifest_url) {
  const std::string_view address = manifest_url.substr(0, manifest_url.find_first_of("?#"));
  const std::size_t slash = address.rfind('/');
  const std::string_view folder =
      slash == std::string_view::npos ? std::string_view() : address.substr(0, slash + 1);
  return std::string(folder) + std::string(notes_file_name);
}

}  // namespace kelvoma
