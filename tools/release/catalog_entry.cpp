#include "release/catalog_entry.h"

#include <cstdint>
#include <vector>

#include "support/publish_support.h"
#include "support/refusal.h"

namespace kelvoma::publish {
namespace {

std::expected<std::vector<Tool>, std::string> read_catalog(
    const std::optional<std::string>& catalog_file) {
  if (!catalog_file) {
    return parse_catalog(EMBEDDED_CATALOG);
  }
  const auto bytes = read_whole_file(*catalog_file, max_catalog_file_size);
  if (!bytes) {
    return std::unexpected(bytes.error());
  }
  auto tools = parse_catalog({reinterpret_cast<const char*>(bytes->data()), bytes->size()});
  if (!tools) {
    return std::unexpected(*catalog_file + ": není katalog nástrojů (" + tools.error() + ").");
  }
  return tools;
}

std::string known_ids(const std::vector<Tool>& tools) {
  std::string ids;
  for (const Tool& tool : tools) {
    if (tool.integration == Integration::kelvoma) {
      ids += (ids.empty() ? "" : ", ") + tool.id;
    }
  }
  return ids;
}

}  // namespace

std::expected<Tool, std::string> catalog_entry(const std::optional<std::string>& catalog_file,
                                               std::string_view id) {
  const auto tools = read_catalog(catalog_file);
  if (!tools) {
    return std::unexpected(tools.error());
  }
  for (const Tool& tool : *tools) {
    if (tool.id == id && tool.integration == Integration::kelvoma) {
      return tool;
    }
  }
  const std::string where = catalog_file ? *catalog_file : "katalogu tohoto sestavení";
  return std::unexpected(refusal("--id", id, known_ids(*tools),
                                 "V " + where +
                                     " není nástroj s tímto id, který vydává podepsané verze; "
                                     "použij id z katalogu (nebo --catalog s jiným katalogem)."));
}

std::expected<void, std::string> check_public_key(const Tool& tool, std::string_view public_key) {
  if (public_key == tool.public_key) {
    return {};
  }
  return std::unexpected(refusal(
      "Veřejná část klíče --key", public_key, tool.public_key,
      "Katalog u " + tool.id +
          " čeká jiný klíč: použij tajný klíč tohoto nástroje (kelvoma-publish public-key KLÍČ "
          "vypíše jeho veřejnou část)."));
}

std::expected<void, std::string> check_bundle_id(const Tool& tool, std::string_view bundle_id) {
  if (bundle_id == tool.bundle_id) {
    return {};
  }
  return std::unexpected(refusal("CFBundleIdentifier", bundle_id, tool.bundle_id,
                                 "Instalace přijme jen balíček s identifikátorem z katalogu; oprav "
                                 "Info.plist (nebo --id) a balíček znovu zapečeť."));
}

std::expected<void, std::string> check_archive_url(const Tool& tool, std::string_view url) {
  if (url.starts_with("https://") && url.starts_with(tool.archive_prefix)) {
    return {};
  }
  return std::unexpected(
      refusal("Adresa archivu", url, tool.archive_prefix + "…",
              "Instalace stahuje jen adresy začínající archive_prefix z katalogu; nahraj archiv "
              "tam a uveď tu adresu."));
}

}  // namespace kelvoma::publish
