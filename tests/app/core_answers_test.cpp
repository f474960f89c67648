// The core's texts read once into answers: every rule the flows rely on, and
// each text given back to the core exactly once.
#include <gtest/gtest.h>

#include <limits>

#include "core_answers.h"
#include "fake_core.h"

namespace kelvoma::app::testing {
namespace {

constexpr std::uint64_t kAllBits = std::numeric_limits<std::uint64_t>::max();

struct CheckCase {
  const char* name;
  const char* text;
  CheckAnswer expected;
};

void PrintTo(const CheckCase& c, std::ostream* out) { *out << c.name; }

class CheckAnswers : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CheckAnswers, AreReadOnceFromTheCoresText) {
  FakeCore core;
  core.checkAnswers["t"] = GetParam().text;
  const CheckAnswer answer = askCheck(core.core(), "t", "6.1.0", 5);
  EXPECT_EQ(answer.ok, GetParam().expected.ok);
  EXPECT_EQ(answer.available, GetParam().expected.available);
  EXPECT_EQ(answer.version, GetParam().expected.version);
  EXPECT_EQ(answer.build, GetParam().expected.build);
  EXPECT_EQ(answer.error, GetParam().expected.error);
  EXPECT_EQ(core.frees(), 1);
  EXPECT_EQ(core.outstanding(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, CheckAnswers,
    ::testing::Values(
        CheckCase{.name = "newer",
                  .text = R"({"available":true,"build":9,"ok":true,"version":"2.0"})",
                  .expected = {.ok = true, .available = true, .version = "2.0", .build = 9}},
        CheckCase{.name = "failed",
                  .text = R"({"error":"Podpis vydání nesouhlasí.","ok":false})",
                  .expected = {.error = "Podpis vydání nesouhlasí."}},
        CheckCase{.name = "not_json", .text = "<html>not json</html>", .expected = {}},
        CheckCase{.name = "empty_text", .text = "", .expected = {}},
        CheckCase{.name = "a_json_text", .text = R"("ok")", .expected = {}},
        CheckCase{.name = "an_array", .text = R"([{"ok":true}])", .expected = {}},
        // Without "ok" nothing else makes it a success; its error still shows.
        CheckCase{.name = "no_ok",
                  .text = R"({"available":true,"build":9,"error":"Chyba.","version":"2.0"})",
                  .expected = {.available = true, .version = "2.0", .build = 9, .error = "Chyba."}},
        CheckCase{
            .name = "ok_as_text", .text = R"({"build":9,"ok":"true"})", .expected = {.build = 9}},
        CheckCase{.name = "ok_as_number", .text = R"({"ok":1})", .expected = {}},
        CheckCase{.name = "error_not_text", .text = R"({"error":5,"ok":false})", .expected = {}},
        CheckCase{.name = "negative_build",
                  .text = R"({"build":-1,"ok":true})",
                  .expected = {.ok = true, .build = kAllBits}},
        CheckCase{.name = "fraction_build",
                  .text = R"({"build":7.9,"ok":true})",
                  .expected = {.ok = true, .build = 7}},
        CheckCase{.name = "out_of_range_build",
                  .text = R"({"build":1e30,"ok":true})",
                  .expected = {.ok = true}},
        CheckCase{.name = "build_as_text",
                  .text = R"({"build":"9","ok":true})",
                  .expected = {.ok = true}},
        CheckCase{.name = "version_not_text",
                  .text = R"({"ok":true,"version":2})",
                  .expected = {.ok = true}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

struct InstallCase {
  const char* name;
  const char* text;
  InstallAnswer expected;
};

void PrintTo(const InstallCase& c, std::ostream* out) { *out << c.name; }

class InstallAnswers : public ::testing::TestWithParam<InstallCase> {};

TEST_P(InstallAnswers, AreReadOnceFromTheCoresText) {
  FakeCore core;
  core.installAnswers["t"] = GetParam().text;
  const InstallAnswer answer = askInstall(core.core(), "t", "/Applications/T.app", "6.1.0",
                                          [](const char*, const char*) { return 0; });
  EXPECT_EQ(answer.ok, GetParam().expected.ok);
  EXPECT_EQ(answer.relaunch, GetParam().expected.relaunch);
  EXPECT_EQ(answer.error, GetParam().expected.error);
  EXPECT_EQ(core.frees(), 1);
  EXPECT_EQ(core.outstanding(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, InstallAnswers,
    ::testing::Values(InstallCase{.name = "installed",
                                  .text = R"({"ok":true,"relaunch":false})",
                                  .expected = {.ok = true}},
                      InstallCase{.name = "installed_relaunch",
                                  .text = R"({"ok":true,"relaunch":true})",
                                  .expected = {.ok = true, .relaunch = true}},
                      InstallCase{
                          .name = "failed_relaunch",
                          .text = R"({"error":"Přesun se nezdařil.","ok":false,"relaunch":true})",
                          .expected = {.relaunch = true, .error = "Přesun se nezdařil."}},
                      InstallCase{.name = "not_json", .text = "Internal error", .expected = {}},
                      InstallCase{.name = "no_ok",
                                  .text = R"({"error":"Instalace selhala."})",
                                  .expected = {.error = "Instalace selhala."}},
                      InstallCase{.name = "relaunch_as_text",
                                  .text = R"({"ok":true,"relaunch":"true"})",
                                  .expected = {.ok = true}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(CatalogAnswers, ListTheToolsInOrderAndNothingForNoText) {
  FakeCore core;
  const auto tools = askCatalog(core.core()).tools;
  ASSERT_EQ(tools.size(), 3u);
  EXPECT_EQ(tools[0].bundleId, "cz.tobranix.orbit-action-dial");
  EXPECT_EQ(tools[2].bundleName, "ClipLedger.app");
  EXPECT_FALSE(tools[1].external);
  EXPECT_TRUE(tools[2].external);
  core.catalogReturnsNull = true;
  EXPECT_TRUE(askCatalog(core.core()).tools.empty());
  EXPECT_EQ(core.frees(), 1);  // only the text that was handed out
}

}  // namespace
}  // namespace kelvoma::app::testing
