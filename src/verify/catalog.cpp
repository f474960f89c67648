#include "verify/catalog.h"

#include <cstdio>
#include <cstdlib>

#include "verify/json_record.h"

namespace kelvoma {
namespace {

using json_record::Presence;

std::expected<Integration, std::string> read_integration(const nlohmann::json* member) {
  if (member == nullptr) {
    return Integration::kelvoma;
  }
  auto text = json_record::text_value(*member);
  if (!text) {
    return std::unexpected(text.error());
  }
  if (*text == "kelvoma") {
    return Integration::kelvoma;
  }
  if (*text == "external") {
    return Integration::external;
  }
  return std::unexpected("unknown variant `" + *text + "`, expected `kelvoma` or `external`");
}

std::expected<Tool, std::string> read_tool(const nlohmann::json& value) {
  const auto members = json_record::read_members(value,
                                                 {{"id"},
                                                  {"name"},
                                                  {"description"},
                                                  {"bundle_id"},
                                                  {"bundle_name"},
                                                  {"symbol"},
                                                  {"integration", Presence::optional},
                                                  {"github_repository", Presence::optional},
                                                  {"manifest_url", Presence::optional},
                                                  {"archive_prefix", Presence::optional},
                                                  {"public_key", Presence::optional},
                                                  {"team_id", Presence::optional}},
                                                 json_record::catalog_rules);
  if (!members) {
    return std::unexpected(members.error());
  }
  const auto& m = *members;

  Tool tool;
  std::string* texts[] = {
      &tool.id,           &tool.name,           &tool.description, &tool.bundle_id,
      &tool.bundle_name,  &tool.symbol,         nullptr,           &tool.github_repository,
      &tool.manifest_url, &tool.archive_prefix, &tool.public_key,  &tool.team_id};
  for (std::size_t i = 0; i < m.size(); ++i) {
    if (texts[i] == nullptr || m[i] == nullptr) {
      continue;
    }
    auto text = json_record::text_value(*m[i]);
    if (!text) {
      return std::unexpected(text.error());
    }
    *texts[i] = std::move(*text);
  }
  auto integration = read_integration(m[6]);
  if (!integration) {
    return std::unexpected(integration.error());
  }
  tool.integration = *integration;
  return tool;
}

}  // namespace

std::expected<std::vector<Tool>, std::string> parse_catalog(std::string_view text) {
  auto document = json_record::parse_document(text);
  if (!document) {
    return std::unexpected(document.error());
  }
  if (!document->is_array()) {
    return std::unexpected(std::string("invalid type: ") + document->type_name() +
                           ", expected an array");
  }
  std::vector<Tool> tools;
  tools.reserve(document->size());
  for (const auto& entry : *document) {
    auto tool = read_tool(entry);
    if (!tool) {
      return std::unexpected(tool.error());
    }
    tools.push_back(std::move(*tool));
  }
  return tools;
}

std::vector<Tool> load_catalog() {
  auto tools = parse_catalog(EMBEDDED_CATALOG);
  if (!tools) {
    // The catalog is compiled in: failing to read it is a defect of the
    // build, not a condition a user could mend.
    std::fprintf(stderr, "Invalid embedded catalog: %s\n", tools.error().c_str());
    std::abort();
  }
  return std::move(*tools);
}

std::expected<Tool, std::string> find_tool(std::string_view id) {
  for (Tool& tool : load_catalog()) {
    if (tool.id == id) {
      return std::move(tool);
    }
  }
  return std::unexpected("Neznámý nástroj.");
}

}  // namespace kelvoma
