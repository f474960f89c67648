#include "verify/macos_version.h"
#include "verify/trust_sentences.h"

#include <gtest/gtest.h>

#include <optional>

namespace kelvoma {
namespace {

constexpr std::string_view invalid = "Neplatná verze macOS.";

struct ParseCase {
  std::string_view text;
  std::optional<MacosVersion> expected;  // nullopt: refused
};

constexpr ParseCase parse_cases[] = {
    {"14", MacosVersion{14, 0, 0}},
    {"13.6", MacosVersion{13, 6, 0}},
    {"13.6.1", MacosVersion{13, 6, 1}},
    {"+14", MacosVersion{14, 0, 0}},
    {"+13.+6.+1", MacosVersion{13, 6, 1}},
    {"0", MacosVersion{0, 0, 0}},
    {"0014.06", MacosVersion{14, 6, 0}},
    {"4294967295.4294967295.4294967295", MacosVersion{4294967295, 4294967295, 4294967295}},
    {"4294967296", std::nullopt},
    {"1.99999999999999999999", std::nullopt},
    {"", std::nullopt},
    {"14.", std::nullopt},
    {".14", std::nullopt},
    {"14..1", std::nullopt},
    {"14.a", std::nullopt},
    {"a", std::nullopt},
    {"1.2.3.4", std::nullopt},
    {"1.2.3.", std::nullopt},
    {"-1", std::nullopt},
    {"14.-1", std::nullopt},
    {"++14", std::nullopt},
    {"+", std::nullopt},
    {"14.+", std::nullopt},
    {" 14", std::nullopt},
    {"14 ", std::nullopt},
    {"14.0 .1", std::nullopt},
    {"14,0", std::nullopt},
    {"1e3", std::nullopt},
    {"0x10", std::nullopt},
    {"١٤", std::nullopt},  // Arabic-Indic digits are not decimal digits here
};

TEST(MacosVersion, ParsesOneToThreeDecimalParts) {
  for (const auto& [text, expected] : parse_cases) {
    const auto parsed = parse_macos_version(text);
    if (expected) {
      EXPECT_EQ(parsed, *expected) << "\"" << text << "\"";
    } else {
      EXPECT_EQ(parsed, std::unexpected(std::string(invalid))) << "\"" << text << "\"";
    }
  }
}

struct MinimumCase {
  std::string_view minimum;
  std::string_view os_version;
  std::optional<std::string_view> message;  // nullopt: the system is new enough
};

constexpr MinimumCase minimum_cases[] = {
    {"14", "14.0.0", std::nullopt},
    {"14", "14.0.1", std::nullopt},
    {"13.6", "13.6.0", std::nullopt},
    {"13.6.1", "13.6.1", std::nullopt},
    {"13.6.1", "14.0.0", std::nullopt},
    {"13.6.1", "13.7.0", std::nullopt},
    {"0", "0.0.0", std::nullopt},
    {"13.6.1", "13.6.0", "Vyžaduje macOS 13.6.1 nebo novější."},
    {"14", "13.99.99", "Vyžaduje macOS 14 nebo novější."},
    {"14.1", "14.0.9", "Vyžaduje macOS 14.1 nebo novější."},
    {"+14", "13.0.0", "Vyžaduje macOS +14 nebo novější."},
    {"014.0", "13.0.0", "Vyžaduje macOS 014.0 nebo novější."},
    {"14", "14.a.0", invalid},
    {"14", "", invalid},
    {"14.", "15.0.0", invalid},
    {"", "15.0.0", invalid},
    {"1.2.3.4", "15.0.0", invalid},
    {"x", "y", invalid},
};

TEST(MacosVersion, MinimumIsComparedPartByPartAndShownAsWritten) {
  for (const auto& [minimum, os_version, message] : minimum_cases) {
    const auto result = require_minimum_macos(minimum, os_version);
    if (message) {
      EXPECT_EQ(result, std::unexpected(std::string(*message))) << minimum << " / " << os_version;
    } else {
      EXPECT_TRUE(result.has_value()) << minimum << " / " << os_version << ": " << result.error();
    }
  }
}

TEST(MacosVersion, ComparesNumbersNotTexts) {
  EXPECT_TRUE(require_minimum_macos("9.0", "10.0.0").has_value());
  EXPECT_TRUE(require_minimum_macos("13.10", "13.10.0").has_value());
  EXPECT_EQ(require_minimum_macos("13.10", "13.9.0"),
            std::unexpected(std::string("Vyžaduje macOS 13.10 nebo novější.")));
}

// The seal build is the Linux one: its sentences name no Mac.
TEST(TrustSentences, TheSealBuildSpeaksOfNoMac) {
  const TrustSentences& seal = sentences_of(CodeTrust::seal);
  for (const std::string_view sentence :
       {seal.ticket_refused, seal.unsupported_processor, seal.missing_minimum_system,
        seal.invalid_system_version, seal.requires_system_before, seal.requires_system_after}) {
    EXPECT_FALSE(sentence.contains("Mac") || sentence.contains("macOS") ||
                 sentence.contains("do Applications"))
        << sentence;
  }
  EXPECT_EQ(require_minimum_macos("14", "13.0.0", CodeTrust::seal),
            std::unexpected(std::string("Vyžaduje systém ve verzi 14 nebo novější.")));
  EXPECT_EQ(require_minimum_macos("14", "x", CodeTrust::seal),
            std::unexpected(std::string("Neplatná verze systému.")));
}

}  // namespace
}  // namespace kelvoma
