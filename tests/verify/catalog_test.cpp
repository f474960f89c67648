#include "verify/catalog.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "verify/crypto/base64.h"

namespace kelvoma {
namespace {

constexpr const char* entry_fields =
    R"("id":"t","name":"T","description":"Popis","bundle_id":"cz.tobranix.t",)"
    R"("bundle_name":"T.app","symbol":"star")";

std::string catalog_of(const std::string& members) {
  return std::string("[{") + entry_fields + members + "}]";
}

TEST(ParseCatalog, AbsentOptionalFieldsTakeTheirDefaults) {
  const auto tools = parse_catalog(catalog_of(""));
  ASSERT_TRUE(tools.has_value()) << tools.error();
  ASSERT_EQ(tools->size(), 1u);
  const Tool& tool = tools->front();
  EXPECT_EQ(tool.id, "t");
  EXPECT_EQ(tool.description, "Popis");
  EXPECT_EQ(tool.integration, Integration::kelvoma);
  EXPECT_EQ(tool.github_repository, "");
  EXPECT_EQ(tool.manifest_url, "");
  EXPECT_EQ(tool.archive_prefix, "");
  EXPECT_EQ(tool.public_key, "");
  EXPECT_EQ(tool.team_id, "");
}

struct SkippedMembersCase {
  const char* name;
  std::string members;
};

TEST(ParseCatalog, UnknownMembersAreSkippedWhateverTheirValue) {
  const SkippedMembersCase cases[] = {
      {.name = "nested_values",
       .members = R"(,"comment":{"nested":[1,2,{"x":null}]},"note":-1.5e3)"},
      {.name = "duplicate_inside_skipped_value", .members = R"(,"author":{"x":1,"x":2})"},
      {.name = "unknown_given_twice", .members = R"(,"note":1,"note":{"a":[]},"note":"x")"},
      {.name = "nesting_at_the_limit",
       .members = ",\"deep\":" + std::string(510, '[') + std::string(510, ']')},
  };
  const auto without = parse_catalog(catalog_of(""));
  ASSERT_TRUE(without.has_value()) << without.error();
  for (const auto& c : cases) {
    const auto with_extra = parse_catalog(catalog_of(c.members));
    ASSERT_TRUE(with_extra.has_value()) << c.name << ": " << with_extra.error();
    EXPECT_EQ(*with_extra, *without) << c.name;
  }
}

struct CatalogErrorCase {
  std::string name;
  std::string text;
  std::string error;
};

void PrintTo(const CatalogErrorCase& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class CatalogErrors : public ::testing::TestWithParam<CatalogErrorCase> {};

TEST_P(CatalogErrors, AreReportedWithTheirCause) {
  const auto tools = parse_catalog(GetParam().text);
  ASSERT_FALSE(tools.has_value());
  EXPECT_EQ(tools.error(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, CatalogErrors,
    ::testing::Values(
        CatalogErrorCase{"missing_symbol",
                         R"([{"id":"t","name":"T","description":"d","bundle_id":"b",)"
                         R"("bundle_name":"T.app"}])",
                         "missing field `symbol`"},
        CatalogErrorCase{"first_missing_in_declaration_order", R"([{"symbol":"s"}])",
                         "missing field `id`"},
        CatalogErrorCase{"duplicate_field", catalog_of(R"(,"team_id":"A","team_id":"B")"),
                         "duplicate field `team_id`"},
        CatalogErrorCase{.name = "required_field_twice_with_equal_values",
                         .text = catalog_of(R"(,"id":"t")"),
                         .error = "duplicate field `id`"},
        CatalogErrorCase{
            .name = "skipped_value_too_deep",
            .text = catalog_of(",\"deep\":" + std::string(511, '[') + std::string(511, ']')),
            .error = "nesting deeper than 512 levels"},
        CatalogErrorCase{.name = "nul_in_skipped_value",
                         .text = catalog_of(std::string(",\"note\":\"a\0b\"", 13)),
                         .error = "NUL byte in the text"},
        CatalogErrorCase{.name = "invalid_utf8_in_skipped_value",
                         .text = catalog_of(",\"note\":\"\xC3\x28\""),
                         .error = "[json.exception.parse_error.101] parse error at line 1, "
                                  "column 120: syntax error while parsing value - invalid "
                                  "string: ill-formed UTF-8 byte; last read: '\"\xC3('"},
        CatalogErrorCase{"unknown_integration", catalog_of(R"(,"integration":"manual")"),
                         "unknown variant `manual`, expected `kelvoma` or `external`"},
        CatalogErrorCase{"integration_in_capitals", catalog_of(R"(,"integration":"External")"),
                         "unknown variant `External`, expected `kelvoma` or `external`"},
        CatalogErrorCase{"text_field_as_number", catalog_of(R"(,"team_id":7)"),
                         "invalid type: number, expected a string"},
        CatalogErrorCase{"text_field_as_null", catalog_of(R"(,"public_key":null)"),
                         "invalid type: null, expected a string"},
        CatalogErrorCase{"top_level_object", std::string("{") + entry_fields + "}",
                         "invalid type: object, expected an array"},
        CatalogErrorCase{"entry_as_array", R"([["t","T","d","b","T.app","s"]])",
                         "invalid type: array, expected an object"}),
    [](const auto& instance) { return instance.param.name; });

TEST(ParseCatalog, RefusesTrailingTextAndByteOrderMark) {
  EXPECT_TRUE(parse_catalog(catalog_of("") + " \n\t\r").has_value());
  EXPECT_FALSE(parse_catalog(catalog_of("") + "]").has_value());
  EXPECT_FALSE(parse_catalog("\xEF\xBB\xBF" + catalog_of("")).has_value());
}

TEST(FindTool, ReturnsEachEntryOfTheEmbeddedCatalog) {
  for (const Tool& tool : load_catalog()) {
    const auto found = find_tool(tool.id);
    ASSERT_TRUE(found.has_value()) << tool.id;
    EXPECT_EQ(*found, tool);
  }
}

TEST(FindTool, MatchesIdsByteForByte) {
  for (const char* id : {"", "Orbit-Action-Dial", "orbit-action-dial ", " orbit-action-dial",
                         "orbit-action-dia", "cz.tobranix.orbit-action-dial"}) {
    const auto found = find_tool(id);
    ASSERT_FALSE(found.has_value()) << id;
    EXPECT_EQ(found.error(), "Neznámý nástroj.");
  }
}

TEST(FindTool, ReadsBothKindsOfEntry) {
  const auto managed = find_tool("orbit-action-dial");
  ASSERT_TRUE(managed.has_value());
  EXPECT_EQ(managed->integration, Integration::kelvoma);
  EXPECT_EQ(managed->github_repository, "");
  EXPECT_FALSE(managed->manifest_url.empty());

  const auto external = find_tool("clip-ledger");
  ASSERT_TRUE(external.has_value());
  EXPECT_EQ(external->integration, Integration::external);
  EXPECT_EQ(external->github_repository, "tobranix/clip-ledger");
  EXPECT_EQ(external->manifest_url, "");
  EXPECT_EQ(external->archive_prefix, "");
  EXPECT_EQ(external->public_key, "");
}

// The shipped catalog is publisher data; these are the rules it must keep.
TEST(ShippedCatalog, KeepsThePublishersRules) {
  const std::string text = testing::read_file(KELVOMA_SOURCE_DIR "/catalog/tools.json");
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  const auto tools = parse_catalog(text);
  ASSERT_TRUE(tools.has_value()) << tools.error();
  ASSERT_EQ(tools->size(), 3u);

  int external = 0;
  bool has_reference_tool = false;
  for (const Tool& tool : *tools) {
    SCOPED_TRACE(tool.id);
    has_reference_tool = has_reference_tool || tool.id == "orbit-action-dial";
    EXPECT_EQ(tool.bundle_id, "cz.tobranix." + tool.id);
    EXPECT_TRUE(tool.bundle_name.ends_with(".app"));
    EXPECT_EQ(tool.team_id.size(), 10u);
    EXPECT_EQ(tool.team_id, tools->front().team_id);
    if (tool.integration == Integration::external) {
      ++external;
      EXPECT_NE(tool.github_repository.find('/'), std::string::npos);
      EXPECT_TRUE(tool.manifest_url.empty() && tool.archive_prefix.empty() &&
                  tool.public_key.empty());
      continue;
    }
    EXPECT_TRUE(tool.manifest_url.starts_with("https://github.com/"));
    EXPECT_TRUE(tool.manifest_url.ends_with("/release.json"));
    EXPECT_TRUE(tool.archive_prefix.starts_with("https://github.com/"));
    EXPECT_TRUE(tool.archive_prefix.ends_with("/releases/download/"));
    EXPECT_EQ(tool.public_key.size(), 44u);
    const auto key = decode_base64(tool.public_key);
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ(key->size(), 32u);
  }
  EXPECT_EQ(external, 1);
  EXPECT_TRUE(has_reference_tool);
}

}  // namespace
}  // namespace kelvoma
