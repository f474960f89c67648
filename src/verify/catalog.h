// The tool catalog: publisher data compiled into the program.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace kelvoma {

// The catalog text this executable was built with (chosen at link time).
extern const std::string_view EMBEDDED_CATALOG;

enum class Integration { kelvoma, external };

// One catalog entry. Optional texts absent from the JSON are empty.
struct Tool {
  std::string id;
  std::string name;
  std::string description;
  std::string bundle_id;
  std::string bundle_name;
  std::string symbol;
  Integration integration = Integration::kelvoma;
  std::string github_repository;
  std::string manifest_url;
  std::string archive_prefix;
  std::string public_key;
  std::string team_id;

  bool operator==(const Tool&) const = default;
};

// Reads a catalog text: an array of tool objects. Unknown members are
// skipped; duplicate members, wrong types, an unknown integration and missing
// required fields (reported in declaration order, naming the field) fail
// with a developer-facing description.
std::expected<std::vector<Tool>, std::string> parse_catalog(std::string_view text);

// The embedded catalog. An unreadable embedded catalog is a build defect: the
// process stops with "Invalid embedded catalog: <description>".
std::vector<Tool> load_catalog();

// The first embedded tool whose id equals `id` byte for byte, or
// "Neznámý nástroj.".
std::expected<Tool, std::string> find_tool(std::string_view id);

}  // namespace kelvoma
