#include "verify/json_record.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvoma::json_record {
namespace {

struct DocumentCase {
  std::string name;
  std::string text;
  bool accepted;
};

void PrintTo(const DocumentCase& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class ParseDocument : public ::testing::TestWithParam<DocumentCase> {};

TEST_P(ParseDocument, AcceptsOnlyStrictJson) {
  const auto& c = GetParam();
  EXPECT_EQ(parse_document(c.text).has_value(), c.accepted) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Lexical, ParseDocument,
    ::testing::Values(
        DocumentCase{"object", R"({"a":1,"b":[true,null,"x"]})", true},
        DocumentCase{"surrounding_whitespace", " \t\r\n{\"a\":1} \n\t\r", true},
        DocumentCase{"empty_text", "", false}, DocumentCase{"only_whitespace", "  \n", false},
        DocumentCase{"byte_order_mark", "\xEF\xBB\xBF{\"a\":1}", false},
        DocumentCase{"trailing_characters", R"({"a":1}x)", false},
        DocumentCase{"second_value", R"({"a":1}{"a":1})", false},
        DocumentCase{"trailing_nul", std::string("{\"a\":1}\0", 8), false},
        DocumentCase{"nul_then_garbage", std::string("{\"a\":1}\0{{{", 11), false},
        DocumentCase{"nul_inside_string", std::string("{\"a\":\"x\0y\"}", 11), false},
        // A repeated name is the reading record's decision (ReadMembers below).
        DocumentCase{"duplicate_member", R"({"a":1,"a":1})", true},
        DocumentCase{"duplicate_member_nested", R"({"a":{"b":1,"b":2}})", true},
        DocumentCase{"duplicate_member_in_array", R"([{"b":1},{"b":2,"c":3,"b":4}])", true},
        DocumentCase{"same_name_in_siblings", R"([{"b":1},{"b":2}])", true},
        DocumentCase{"invalid_utf8_in_string", "{\"a\":\"\xC3\x28\"}", false},
        DocumentCase{"overlong_utf8_in_string", "{\"a\":\"\xC0\xAF\"}", false},
        DocumentCase{"surrogate_utf8_in_string", "{\"a\":\"\xED\xA0\x80\"}", false},
        DocumentCase{"invalid_utf8_in_key", "{\"\xFF\":1}", false},
        DocumentCase{"czech_letters", "{\"a\":\"Příliš žluťoučký kůň\"}", true},
        DocumentCase{"raw_control_character", "{\"a\":\"x\ny\"}", false},
        DocumentCase{"escaped_nul", R"({"a":"\u0000"})", true},
        DocumentCase{"single_quotes", "{'a':1}", false},
        DocumentCase{"trailing_comma", R"({"a":1,})", false},
        DocumentCase{"comment", R"({"a":1 /* c */})", false},
        DocumentCase{"deep_but_allowed", std::string(511, '[') + std::string(511, ']'), true},
        DocumentCase{"too_deep", std::string(513, '[') + std::string(513, ']'), false},
        DocumentCase{"deep_member_but_allowed",
                     "{\"x\":" + std::string(511, '[') + std::string(511, ']') + "}", true},
        DocumentCase{"member_too_deep",
                     "{\"x\":" + std::string(512, '[') + std::string(512, ']') + "}", false},
        DocumentCase{"hostile_depth", std::string(60000, '['), false}),
    [](const auto& instance) { return instance.param.name; });

TEST(ParseDocument, KeepsNumberKindsApart) {
  const auto document =
      parse_document(R"([0,-0,-5,1.0,1e2,18446744073709551615,18446744073709551616])");
  ASSERT_TRUE(document.has_value());
  const auto& v = *document;
  EXPECT_TRUE(v[0].is_number_unsigned());
  EXPECT_FALSE(v[1].is_number_unsigned());  // "-0" is a negative literal
  EXPECT_FALSE(v[2].is_number_unsigned());
  EXPECT_TRUE(v[3].is_number_float());
  EXPECT_TRUE(v[4].is_number_float());
  EXPECT_TRUE(v[5].is_number_unsigned());
  EXPECT_FALSE(v[6].is_number_unsigned());  // beyond 64 bits
}

struct UnsignedCase {
  std::string text;
  std::uint64_t max;
  bool accepted;
  std::uint64_t value;
};

TEST(UnsignedValue, AcceptsPlainNonNegativeIntegersWithinRange) {
  const UnsignedCase cases[] = {
      {"0", UINT64_MAX, true, 0},
      {"42", UINT64_MAX, true, 42},
      {"18446744073709551615", UINT64_MAX, true, UINT64_MAX},
      {"18446744073709551616", UINT64_MAX, false, 0},
      {"4294967295", UINT32_MAX, true, UINT32_MAX},
      {"4294967296", UINT32_MAX, false, 0},
      {"-0", UINT64_MAX, false, 0},
      {"-1", UINT64_MAX, false, 0},
      {"12.0", UINT64_MAX, false, 0},
      {"1e2", UINT64_MAX, false, 0},
      {"1E0", UINT64_MAX, false, 0},
      {"\"12\"", UINT64_MAX, false, 0},
      {"true", UINT64_MAX, false, 0},
      {"null", UINT64_MAX, false, 0},
  };
  for (const auto& c : cases) {
    const auto document = parse_document(c.text);
    ASSERT_TRUE(document.has_value()) << c.text;
    const auto value = unsigned_value(*document, c.max);
    EXPECT_EQ(value.has_value(), c.accepted) << c.text;
    if (value) {
      EXPECT_EQ(*value, c.value) << c.text;
    }
  }
}

TEST(TypedValues, RefuseOtherJsonTypes) {
  const auto document = parse_document(R"(["x",true,null,1,["a","b"],["a",1]])");
  ASSERT_TRUE(document.has_value());
  const auto& v = *document;
  EXPECT_EQ(text_value(v[0]).value(), "x");
  EXPECT_FALSE(text_value(v[1]).has_value());
  EXPECT_FALSE(text_value(v[2]).has_value());
  EXPECT_FALSE(text_value(v[3]).has_value());
  EXPECT_EQ(bool_value(v[1]).value(), true);
  EXPECT_FALSE(bool_value(v[0]).has_value());
  EXPECT_FALSE(bool_value(v[3]).has_value());
  EXPECT_EQ(text_array(v[4]).value(), (std::vector<std::string>{"a", "b"}));
  EXPECT_FALSE(text_array(v[5]).has_value());
  EXPECT_FALSE(text_array(v[0]).has_value());
}

struct MembersCase {
  std::string name;
  std::string text;
  Rules rules;
  std::string error;  // empty: accepted
};

void PrintTo(const MembersCase& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class ReadMembers : public ::testing::TestWithParam<MembersCase> {};

TEST_P(ReadMembers, FollowsTheRecordsRules) {
  const auto& c = GetParam();
  const auto document = parse_document(c.text);
  ASSERT_TRUE(document.has_value());
  const auto members = read_members(*document, {{"a"}, {"b"}, {"c", Presence::optional}}, c.rules);
  if (c.error.empty()) {
    ASSERT_TRUE(members.has_value()) << members.error();
    EXPECT_EQ((*members)[0]->get<int>(), 1);
    EXPECT_EQ((*members)[1]->get<int>(), 2);
  } else {
    ASSERT_FALSE(members.has_value());
    EXPECT_EQ(members.error(), c.error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ReadMembers,
    ::testing::Values(MembersCase{"object", R"({"b":2,"a":1})", manifest_rules, ""},
                      MembersCase{"unknown_skipped", R"({"a":1,"x":{"deep":[1]},"b":2})",
                                  catalog_rules, ""},
                      MembersCase{"unknown_rejected", R"({"a":1,"x":0,"b":2})", manifest_rules,
                                  "unknown field `x`"},
                      MembersCase{"first_missing_in_declaration_order", R"({"c":3})", catalog_rules,
                                  "missing field `a`"},
                      MembersCase{"second_missing", R"({"a":1})", host_rules, "missing field `b`"},
                      MembersCase{"array_form_accepted", "[1,2,3]", manifest_rules, ""},
                      MembersCase{"array_form_too_short", "[1,2]", manifest_rules,
                                  "invalid length 2, expected 3 elements"},
                      MembersCase{"array_form_too_long", "[1,2,3,4]", manifest_rules,
                                  "invalid length 4, expected 3 elements"},
                      MembersCase{"array_form_refused", "[1,2,3]", catalog_rules,
                                  "invalid type: array, expected an object"},
                      MembersCase{"not_a_record", "\"text\"", manifest_rules,
                                  "invalid type: string, expected an object"},
                      MembersCase{.name = "field_twice_in_catalog",
                                  .text = R"({"a":1,"b":2,"a":1})",
                                  .rules = catalog_rules,
                                  .error = "duplicate field `a`"},
                      MembersCase{.name = "optional_field_twice_in_catalog",
                                  .text = R"({"a":1,"b":2,"c":{},"c":{}})",
                                  .rules = catalog_rules,
                                  .error = "duplicate field `c`"},
                      MembersCase{.name = "field_three_times_from_host",
                                  .text = R"({"a":1,"b":2,"b":2,"b":2})",
                                  .rules = host_rules,
                                  .error = "duplicate field `b`"},
                      MembersCase{.name = "field_twice_in_manifest",
                                  .text = R"({"a":1,"b":2,"b":2})",
                                  .rules = manifest_rules,
                                  .error = "duplicate field `b`"},
                      MembersCase{.name = "unknown_twice_skipped_in_catalog",
                                  .text = R"({"a":1,"x":0,"b":2,"x":[1]})",
                                  .rules = catalog_rules,
                                  .error = ""},
                      MembersCase{.name = "unknown_twice_refused_from_host",
                                  .text = R"({"a":1,"x":0,"b":2,"x":[1]})",
                                  .rules = host_rules,
                                  .error = "duplicate field `x`"},
                      MembersCase{.name = "unknown_twice_refused_in_manifest",
                                  .text = R"({"a":1,"x":0,"b":2,"x":0})",
                                  .rules = manifest_rules,
                                  .error = "duplicate field `x`"},
                      MembersCase{.name = "duplicate_inside_skipped_value_in_catalog",
                                  .text = R"({"a":1,"author":{"x":1,"x":2},"b":2})",
                                  .rules = catalog_rules,
                                  .error = ""},
                      MembersCase{.name = "duplicate_inside_skipped_value_from_host",
                                  .text = R"({"a":1,"x":[{"y":{"z":1,"z":2}}],"b":2})",
                                  .rules = host_rules,
                                  .error = ""},
                      MembersCase{.name = "duplicate_inside_array_form",
                                  .text = R"([1,2,{"x":1,"x":2}])",
                                  .rules = manifest_rules,
                                  .error = ""}),
    [](const auto& instance) { return instance.param.name; });

TEST(ReadMembers, AbsentOptionalFieldIsNull) {
  const auto document = parse_document(R"({"a":1,"b":2})");
  const auto members =
      read_members(*document, {{"a"}, {"b"}, {"c", Presence::optional}}, host_rules);
  ASSERT_TRUE(members.has_value());
  EXPECT_EQ((*members)[2], nullptr);
}

}  // namespace
}  // namespace kelvoma::json_record
