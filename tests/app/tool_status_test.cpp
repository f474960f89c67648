// The snapshot rules on their own: builds, updates, state texts.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "tool_status.h"

namespace kelvoma::app {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

struct BuildCase {
  const char* name;
  Document info;
  std::int64_t expected;
};

void PrintTo(const BuildCase& c, std::ostream* out) { *out << c.name; }

class InstalledBuild : public ::testing::TestWithParam<BuildCase> {};

TEST_P(InstalledBuild, IsTheLeadingInteger) {
  EXPECT_EQ(installedBuildOf(GetParam().info), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, InstalledBuild,
    ::testing::Values(BuildCase{"absent", {{"CFBundleIdentifier", "x"}}, 0},
                      BuildCase{"plain", {{"CFBundleVersion", "42"}}, 42},
                      BuildCase{"dotted", {{"CFBundleVersion", "42.1.3"}}, 42},
                      BuildCase{"trailing_letters", {{"CFBundleVersion", "7b2"}}, 7},
                      BuildCase{"leading_blanks", {{"CFBundleVersion", "  \t19"}}, 19},
                      BuildCase{"letters_first", {{"CFBundleVersion", "b7"}}, 0},
                      BuildCase{"empty", {{"CFBundleVersion", ""}}, 0},
                      BuildCase{"negative", {{"CFBundleVersion", "-3"}}, -3},
                      BuildCase{"plus_sign", {{"CFBundleVersion", "+5"}}, 5},
                      BuildCase{"sign_alone", {{"CFBundleVersion", "-"}}, 0},
                      BuildCase{"too_large", {{"CFBundleVersion", "99999999999999999999"}}, kMax},
                      BuildCase{"largest", {{"CFBundleVersion", "9223372036854775807"}}, kMax},
                      BuildCase{"too_small", {{"CFBundleVersion", "-99999999999999999999"}}, kMin},
                      BuildCase{"number_kind", {{"CFBundleVersion", 17}}, 17},
                      BuildCase{"boolean_kind", {{"CFBundleVersion", true}}, 0},
                      BuildCase{"not_a_dictionary", Document::array(), 0}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

struct UpdateCase {
  const char* name;
  std::optional<Document> release;
  std::int64_t installed;
  bool expected;
};

void PrintTo(const UpdateCase& c, std::ostream* out) { *out << c.name; }

class UpdateAvailable : public ::testing::TestWithParam<UpdateCase> {};

// The record as the check's answer reads it.
std::optional<CheckAnswer> answerOf(const std::optional<Document>& record) {
  return record ? std::optional(checkAnswerOf(*record)) : std::nullopt;
}

TEST_P(UpdateAvailable, ComparesBuildsAsUnsigned64Bit) {
  EXPECT_EQ(isUpdateAvailable(answerOf(GetParam().release), GetParam().installed),
            GetParam().expected);
}

Document release(bool ok, Document build) {
  return Document{{"ok", ok}, {"available", true}, {"version", "9.9"}, {"build", std::move(build)}};
}

INSTANTIATE_TEST_SUITE_P(
    Rules, UpdateAvailable,
    ::testing::Values(
        UpdateCase{"no_record", std::nullopt, 5, false},
        UpdateCase{"empty_record", Document::object(), 0, false},
        UpdateCase{"failed_check", release(false, 9), 5, false},
        UpdateCase{"higher", release(true, 6), 5, true},
        UpdateCase{"same", release(true, 5), 5, false},
        UpdateCase{"lower", release(true, 4), 5, false},
        UpdateCase{"not_installed", release(true, 1), 0, true},
        UpdateCase{"zero_build", release(true, 0), 0, false},
        UpdateCase{"missing_build", Document{{"ok", true}}, 0, false},
        UpdateCase{"build_as_text", release(true, "9"), 5, false},
        UpdateCase{"above_signed_range", release(true, std::uint64_t{1} << 63), kMax, true},
        UpdateCase{"largest_unsigned", release(true, std::numeric_limits<std::uint64_t>::max()),
                   kMax, true},
        // A negative installed build is a huge unsigned one: nothing is newer.
        UpdateCase{"negative_installed", release(true, 5), -1, false},
        UpdateCase{"ok_not_boolean", Document{{"ok", 1}, {"build", 9}}, 5, false}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

struct StateCase {
  bool installed;
  std::size_t running;
  const char* expected;
};

TEST(StateText, FollowsRunningThenInstalled) {
  const StateCase cases[] = {
      {.installed = true, .running = 1, .expected = "Běží"},
      {.installed = true, .running = 3, .expected = "Běží"},
      {.installed = false, .running = 1, .expected = "Běží"},
      {.installed = true, .running = 0, .expected = "Vypnuto"},
      {.installed = false, .running = 0, .expected = "Nenainstalováno"},
  };
  for (const StateCase& each : cases) {
    EXPECT_EQ(stateTextOf(each.installed, each.running), each.expected)
        << each.installed << " " << each.running;
  }
}

TEST(Catalog, ReadsEntriesInOrderAndToleratesOddShapes) {
  const Document catalog = Document::parse(
      R"([{"id":"a","name":"A","integration":"external","bundle_id":"x.a","bundle_name":"A.app",
          "symbol":"s","description":"d"},
         {"id":"b","integration":"kelvoma"}, 5, {"id":"c"}])");
  const auto tools = catalogAnswerOf(catalog).tools;
  ASSERT_EQ(tools.size(), 4u);
  EXPECT_EQ(tools[0].id, "a");
  EXPECT_TRUE(tools[0].external);
  EXPECT_EQ(tools[0].bundleName, "A.app");
  EXPECT_FALSE(tools[1].external);
  EXPECT_EQ(tools[2].id, "");
  EXPECT_FALSE(tools[3].external);  // no integration: manifest-based
  EXPECT_TRUE(catalogAnswerOf(Document::object()).tools.empty());
}

TEST(Snapshot, DerivesEverythingFromItsInputs) {
  Tool tool;
  tool.id = "t";
  const auto snapshot = makeSnapshot(tool, {.installedPath = "/Applications/T.app",
                                            .runningCount = 2,
                                            .busy = true,
                                            .info = Document{{"CFBundleVersion", "12"}},
                                            .release = checkAnswerOf(release(true, 13))});
  EXPECT_TRUE(snapshot.installed());
  EXPECT_TRUE(snapshot.running());
  EXPECT_TRUE(snapshot.busy);
  EXPECT_EQ(snapshot.installedBuild, 12);
  EXPECT_TRUE(snapshot.updateAvailable);
  EXPECT_EQ(snapshot.stateText, "Běží");
  EXPECT_FALSE(snapshot.external);
}

}  // namespace
}  // namespace kelvoma::app
