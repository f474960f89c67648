#include "exports/result_document.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "kelvoma/kelvoma.h"
#include "verify/util/text_argument.h"

namespace kelvoma {
namespace {

using nlohmann::json;

std::string take(char* text) {
  const std::unique_ptr<char, decltype(&mini_free)> owned(text, &mini_free);
  return std::string(owned.get());
}

struct DocumentCase {
  std::string name;
  json document;
  std::string text;
};

void PrintTo(const DocumentCase& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class ResultText : public ::testing::TestWithParam<DocumentCase> {};

TEST_P(ResultText, IsCompactKeyOrderedJson) {
  EXPECT_EQ(take(json_to_c_string(GetParam().document)), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Encoding, ResultText,
    ::testing::Values(
        DocumentCase{"keys_in_byte_order",
                     json{{"version", "1"}, {"ok", true}, {"build", 2}, {"available", false}},
                     R"({"available":false,"build":2,"ok":true,"version":"1"})"},
        DocumentCase{"upper_case_before_lower_case", json{{"b", 1}, {"B", 2}, {"_", 3}},
                     R"({"B":2,"_":3,"b":1})"},
        DocumentCase{"non_ascii_keys_after_ascii", json{{"ž", 1}, {"z", 2}}, "{\"z\":2,\"ž\":1}"},
        DocumentCase{"quote_and_backslash", json{{"e", "a\"b\\c/d"}}, R"({"e":"a\"b\\c/d"})"},
        DocumentCase{"named_control_escapes", json{{"e", "\b\t\n\f\r"}}, R"({"e":"\b\t\n\f\r"})"},
        DocumentCase{"other_controls_as_lower_case_hex",
                     json{{"e", std::string("\x00\x01\x1b\x1f", 4)}},
                     R"({"e":"\u0000\u0001\u001b\u001f"})"},
        DocumentCase{"delete_is_plain", json{{"e", "\x7f"}}, "{\"e\":\"\x7f\"}"},
        DocumentCase{"czech_letters_as_utf8", json{{"error", "Neznámý nástroj."}},
                     "{\"error\":\"Neznámý nástroj.\"}"},
        DocumentCase{"integers", json::array({0, 42, UINT64_MAX}), "[0,42,18446744073709551615]"},
        DocumentCase{"nested", json{{"a", json::array({json{{"y", nullptr}, {"x", true}}})}},
                     R"({"a":[{"x":true,"y":null}]})"}),
    [](const auto& instance) { return instance.param.name; });

TEST(ErrorDocument, HasErrorThenOkAndNothingElse) {
  EXPECT_EQ(take(json_to_c_string(error_document("Řádek\n\"x\""))),
            "{\"error\":\"Řádek\\n\\\"x\\\"\",\"ok\":false}");
}

struct ArgumentCase {
  std::string name;
  const char* text;
  std::string read;
};

TEST(ReadTextArgument, ReadsNullAndInvalidUtf8AsEmpty) {
  const ArgumentCase cases[] = {
      {"null", nullptr, ""},
      {"empty", "", ""},
      {"ascii", "orbit-action-dial", "orbit-action-dial"},
      {"czech", "Příliš žluťoučký", "Příliš žluťoučký"},
      {"four_byte", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"lone_continuation", "a\x80", ""},
      {"overlong_slash", "\xC0\xAF", ""},
      {"overlong_three_byte", "\xE0\x80\xAF", ""},
      {"surrogate", "\xED\xA0\x80", ""},
      {"beyond_unicode", "\xF4\x90\x80\x80", ""},
      {"truncated", "orbit\xC5", ""},
      {"invalid_lead", "\xFF", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(read_text_argument(c.text), c.read) << c.name;
  }
}

TEST(MiniCatalog, ListsTheCatalogWithTwelveTextMembersInKeyOrder) {
  const std::string text = take(mini_catalog());
  const json document = json::parse(text);
  ASSERT_TRUE(document.is_array());
  ASSERT_EQ(document.size(), 3u);
  for (const json& tool : document) {
    ASSERT_EQ(tool.size(), 12u);
    for (const auto& [key, value] : tool.items()) {
      EXPECT_TRUE(value.is_string()) << key;
    }
  }
  // Re-serialised compactly, the text comes out the same: no whitespace
  // between tokens, members already in key order.
  EXPECT_EQ(text, document.dump(-1, ' ', false));
  EXPECT_TRUE(text.starts_with(
      R"([{"archive_prefix":"https://localhost:47321/tobranix/orbit-action-dial/releases/download/",)"
      R"("bundle_id":"cz.tobranix.orbit-action-dial","bundle_name":"Orbit Action Dial.app",)"
      R"("description":"Kruhová nabídka rychlých akcí, vyvolaná klávesovou zkratkou.",)"
      R"("github_repository":"","id":"orbit-action-dial","integration":"kelvoma",)"));
  EXPECT_TRUE(text.ends_with(
      R"({"archive_prefix":"","bundle_id":"cz.tobranix.clip-ledger",)"
      R"("bundle_name":"ClipLedger.app",)"
      R"("description":"Historie schránky s rychlým hledáním; aktualizuje se sama.",)"
      R"("github_repository":"tobranix/clip-ledger","id":"clip-ledger",)"
      R"("integration":"external","manifest_url":"","name":"Clip Ledger","public_key":"",)"
      R"("symbol":"doc.on.clipboard","team_id":"TESTTEAM42"}])"));
}

TEST(MiniFree, AcceptsNullAndReleasesTextsIndependently) {
  mini_free(nullptr);
  char* first = mini_catalog();
  char* second = mini_catalog();
  const std::string expected(second);
  mini_free(first);
  EXPECT_EQ(std::string(second), expected);
  mini_free(second);
}

}  // namespace
}  // namespace kelvoma
