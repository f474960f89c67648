// The update check: check_release against the local HTTPS server, and
// mini_check end to end through the C interface of the fixture build, whose
// catalog points at the server on the fixture port.
#include "fetch/update_check.h"
#include "fetch/release_notes_fetch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kelvoma/kelvoma.h"
#include "support/process_util.h"
#include "support/signing.h"
#include "support/test_server.h"
#include "verify/catalog.h"

namespace kelvoma {
namespace {

using testing::child_processes;
using testing::ServerPort;
using testing::TestServer;

constexpr std::string_view processor = "Tato verze není dostupná pro procesor tohoto Macu.";
constexpr std::string_view external = "Aktualizace spravuje samotná aplikace.";
constexpr std::string_view too_large =
    "Stažený soubor překročil povolenou velikost nebo byl přerušen.";
constexpr std::string_view not_published = "Zatím není zveřejněné dostupné vydání.";

std::string manifest_path(std::string_view tool_id) {
  return "/tobranix/" + std::string(tool_id) + "/releases/latest/download/release.json";
}

std::string notes_path(std::string_view tool_id) {
  return "/tobranix/" + std::string(tool_id) + "/releases/latest/download/release-notes.json";
}

// A signed manifest padded with trailing whitespace (which the envelope
// allows) to exactly `size` bytes.
std::string padded_manifest(const Release& release, std::size_t size) {
  std::string manifest = fixture::signed_manifest(fixture::load_key(release.id), release);
  manifest.resize(std::max(size, manifest.size()), ' ');
  return manifest;
}

// --- check_release with a configuration of its own. ---

class CheckRelease : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new TestServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(server().running()) << server().failure();
    const auto found = find_tool("orbit-action-dial");
    ASSERT_TRUE(found.has_value());
    tool_ = *found;
    tool_.manifest_url = server().url(manifest_path(tool_.id));
  }

  static TestServer& server() { return *server_; }
  void publish(const Release& release) const {
    server().put(manifest_path(tool_.id),
                 fixture::signed_manifest(fixture::load_key(tool_.id), release));
  }
  void publish_text(const std::string& text) const { server().put(manifest_path(tool_.id), text); }

  Tool tool_;

 private:
  static TestServer* server_;
};

TestServer* CheckRelease::server_ = nullptr;

TEST_F(CheckRelease, ReturnsTheVerifiedRelease) {
  Release release = fixture::fixture_release(tool_.id);
  release.version = "2.1 – ověřená";
  release.build = 42;
  publish(release);
  const auto checked = check_release(CoreConfig{}, tool_, "13.0.0");
  ASSERT_TRUE(checked.has_value()) << checked.error();
  EXPECT_EQ(release, *checked);
}

TEST_F(CheckRelease, ExternalToolIsRefusedWithoutAnyTransfer) {
  const auto found = find_tool("clip-ledger");
  ASSERT_TRUE(found.has_value());
  Tool tool = *found;
  tool.manifest_url = server().url("/clip-ledger/release.json");
  CoreConfig config;
  config.curl = "/nonexistent/curl";  // starting it would give the system error text
  const auto checked = check_release(config, tool, "14.0.0");
  ASSERT_FALSE(checked.has_value());
  EXPECT_EQ(external, checked.error());
  for (const auto& request : server().requests()) {
    EXPECT_NE("/clip-ledger/release.json", request.target);
  }
}

struct CheckCase {
  const char* name;
  std::function<void(Release&)> change;
  std::string os_version;
  std::optional<std::string> message;  // nullopt: passes
};

void PrintTo(const CheckCase& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class CheckRule : public CheckRelease, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(CheckRule, DecidesTheCheck) {
  Release release = fixture::fixture_release(tool_.id);
  GetParam().change(release);
  publish(release);
  CoreConfig config;
  config.code_trust = CodeTrust::macos;  // the sentences as first written
  const auto checked = check_release(config, tool_, GetParam().os_version);
  if (GetParam().message) {
    ASSERT_FALSE(checked.has_value());
    EXPECT_EQ(*GetParam().message, checked.error());
  } else {
    EXPECT_TRUE(checked.has_value()) << checked.error();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, CheckRule,
    ::testing::Values(
        CheckCase{"Fits", [](Release&) {}, "13.0.0", std::nullopt},
        CheckCase{"OnlyIntel", [](Release& r) { r.architectures = {"x86_64"}; }, "14.2.1",
                  std::nullopt},
        CheckCase{"OnlyArm", [](Release& r) { r.architectures = {"arm64"}; }, "14.0.0",
                  std::string(processor)},
        CheckCase{"NoArchitecture", [](Release& r) { r.architectures = {}; }, "14.0.0",
                  std::string(processor)},
        CheckCase{"ArchitectureInCapitals", [](Release& r) { r.architectures = {"X86_64"}; },
                  "14.0.0", std::string(processor)},
        CheckCase{"ArchitectureWithSpace", [](Release& r) { r.architectures = {"x86_64 "}; },
                  "14.0.0", std::string(processor)},
        CheckCase{"ProcessorBeforeSystem",
                  [](Release& r) {
                    r.architectures = {"arm64"};
                    r.minimum_macos = "99";
                  },
                  "14.0.0", std::string(processor)},
        CheckCase{"ProcessorBeforeUnreadableSystem",
                  [](Release& r) { r.architectures = {"arm64"}; }, "neznámá",
                  std::string(processor)},
        CheckCase{"SystemTooOld", [](Release& r) { r.minimum_macos = "13.6.1"; }, "13.6.0",
                  "Vyžaduje macOS 13.6.1 nebo novější."},
        CheckCase{"SystemExactlyTheMinimum", [](Release& r) { r.minimum_macos = "14"; }, "14.0.0",
                  std::nullopt},
        CheckCase{"SystemUnreadable", [](Release&) {}, "14.0.x", "Neplatná verze macOS."},
        CheckCase{"MinimumUnreadable", [](Release& r) { r.minimum_macos = "14."; }, "14.0.0",
                  "Neplatná verze macOS."},
        CheckCase{"OtherTool", [](Release& r) { r.id = "pane-keeper"; }, "14.0.0",
                  "Vydání neodpovídá nástroji v katalogu."}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(CheckRelease, SignatureOfAnotherKeyIsRefused) {
  publish_text(fixture::signed_manifest(fixture::random_key(), fixture::fixture_release(tool_.id)));
  const auto checked = check_release(CoreConfig{}, tool_, "14.0.0");
  ASSERT_FALSE(checked.has_value());
  EXPECT_EQ("Podpis vydavatele nesouhlasí. Instalace byla zastavena.", checked.error());
}

TEST_F(CheckRelease, ManifestOfExactly65536BytesIsVerified) {
  publish_text(padded_manifest(fixture::fixture_release(tool_.id), 65536));
  const auto checked = check_release(CoreConfig{}, tool_, "14.0.0");
  EXPECT_TRUE(checked.has_value()) << checked.error();
}

TEST_F(CheckRelease, ManifestOf65537BytesIsNotDownloaded) {
  publish_text(padded_manifest(fixture::fixture_release(tool_.id), 65537));
  const auto checked = check_release(CoreConfig{}, tool_, "14.0.0");
  ASSERT_FALSE(checked.has_value());
  EXPECT_EQ(too_large, checked.error());
}

TEST_F(CheckRelease, UnpublishedManifest) {
  tool_.manifest_url = server().url("/tobranix/never-released/release.json");
  const auto checked = check_release(CoreConfig{}, tool_, "14.0.0");
  ASSERT_FALSE(checked.has_value());
  EXPECT_EQ(not_published, checked.error());
}

TEST_F(CheckRelease, EmptyManifestAddressNeedsHttps) {
  tool_.manifest_url.clear();
  const auto checked = check_release(CoreConfig{}, tool_, "14.0.0");
  ASSERT_FALSE(checked.has_value());
  EXPECT_EQ("Stahování vyžaduje HTTPS.", checked.error());
}

// --- The offered release's notes, served beside its manifest. ---

constexpr std::string_view notes_text = "Nový ciferník.\nOprava: „uložení“ při odhlášení.";
constexpr std::string_view other_release = "Poznámky k vydání patří k jinému vydání.";
constexpr std::string_view invalid_notes = "Neplatné poznámky k vydání.";

// Notes of `release` (as edited by the row) with `text`, signed with the tool's key.
std::string notes_signed(const Release& release, std::string_view text,
                         std::string_view payload_prefix = "{") {
  std::string payload = fixture::notes_json(release, text);
  payload.replace(0, 1, payload_prefix);
  return fixture::signed_manifest(fixture::load_key("orbit-action-dial"), payload);
}

struct NotesCase {
  const char* name;
  // The file served as release-notes.json for the offered release; nullopt: none.
  std::function<std::optional<std::string>(Release offered)> served;
  std::optional<std::string> message;  // nullopt: notes_text
};

void PrintTo(const NotesCase& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class NotesRule : public CheckRelease, public ::testing::WithParamInterface<NotesCase> {};

TEST_P(NotesRule, DecidesTheNotes) {
  Release offered = fixture::fixture_release(tool_.id);
  offered.build = 12;
  offered.version = "1.2 „zimní“";
  if (const auto served = GetParam().served(offered)) {
    server().put(notes_path(tool_.id), *served);
  } else {
    std::filesystem::remove(server().root() + notes_path(tool_.id));
  }
  const auto notes = fetch_release_notes(CoreConfig{}, tool_, {offered.build, offered.version});
  if (GetParam().message) {
    ASSERT_FALSE(notes.has_value());
    EXPECT_EQ(*GetParam().message, notes.error());
  } else {
    ASSERT_TRUE(notes.has_value()) << notes.error();
    EXPECT_EQ(notes_text, notes->text);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Notes, NotesRule,
    ::testing::Values(
        NotesCase{"Good", [](Release r) { return notes_signed(r, notes_text); }, std::nullopt},
        NotesCase{"OtherKey",
                  [](Release r) {
                    return fixture::signed_manifest(fixture::random_key(),
                                                    fixture::notes_json(r, notes_text));
                  },
                  "Podpis vydavatele nesouhlasí. Instalace byla zastavena."},
        NotesCase{"OtherBuild",
                  [](Release r) {
                    ++r.build;
                    return notes_signed(r, notes_text);
                  },
                  std::string(other_release)},
        NotesCase{"OtherId",
                  [](Release r) {
                    r.id = "pane-keeper";
                    return notes_signed(r, notes_text);
                  },
                  std::string(other_release)},
        NotesCase{"TextOver16KiB",
                  [](Release r) { return notes_signed(r, std::string(16385, 'a')); },
                  "Text poznámek je delší než 16384 bajtů."},
        NotesCase{"FileOver64KiB",
                  [](Release r) { return notes_signed(r, notes_text) + std::string(65536, ' '); },
                  std::string(too_large)},
        NotesCase{"NulInText",
                  [](Release r) { return notes_signed(r, std::string_view("a\0b", 3)); },
                  "Text poznámek obsahuje znak NUL."},
        NotesCase{"UnknownMember",
                  [](Release r) { return notes_signed(r, notes_text, R"({"html":"<b>x</b>",)"); },
                  std::string(invalid_notes)},
        NotesCase{"ManifestPresentedAsNotes",
                  [](Release r) { return fixture::signed_manifest(fixture::load_key(r.id), r); },
                  std::string(invalid_notes)},
        NotesCase{"NotPublished", [](Release) { return std::nullopt; },
                  std::string(not_published)}),
    [](const auto& p) { return std::string(p.param.name); });

// --- mini_check through the C interface of the fixture build. ---

std::string check(const char* id, const char* os_version, std::uint64_t installed_build) {
  char* text = mini_check(id, os_version, installed_build);
  std::string document = text == nullptr ? "(null)" : text;
  mini_free(text);
  return document;
}

std::string error_document(std::string_view message) {
  return "{\"error\":\"" + std::string(message) + "\",\"ok\":false}";
}

class MiniCheck : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new TestServer(ServerPort::fixture); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(server().running()) << server().failure(); }

  static TestServer& server() { return *server_; }
  static void publish(const Release& release) {
    server().put(manifest_path(release.id),
                 fixture::signed_manifest(fixture::load_key(release.id), release));
  }
  static Release release_with_build(std::string_view tool_id, std::uint64_t build) {
    Release release = fixture::fixture_release(tool_id);
    release.build = build;
    return release;
  }

 private:
  static TestServer* server_;
};

TestServer* MiniCheck::server_ = nullptr;

struct BuildCase {
  std::uint64_t release_build;
  std::uint64_t installed_build;
  const char* document;
};

void PrintTo(const BuildCase& c, std::ostream* out) {
  *out << "release " << c.release_build << ", installed " << c.installed_build;
}

class MiniCheckBuilds : public MiniCheck, public ::testing::WithParamInterface<BuildCase> {};

TEST_P(MiniCheckBuilds, ComparesBuildNumbersOnly) {
  publish(release_with_build("orbit-action-dial", GetParam().release_build));
  EXPECT_EQ(GetParam().document, check("orbit-action-dial", "14.0.0", GetParam().installed_build));
}

INSTANTIATE_TEST_SUITE_P(
    Builds, MiniCheckBuilds,
    ::testing::Values(
        BuildCase{1, 0, R"({"available":true,"build":1,"ok":true,"version":"1.0.0"})"},
        BuildCase{7, 6, R"({"available":true,"build":7,"ok":true,"version":"1.0.0"})"},
        BuildCase{7, 7, R"({"available":false,"build":7,"ok":true,"version":"1.0.0"})"},
        BuildCase{7, 8, R"({"available":false,"build":7,"ok":true,"version":"1.0.0"})"},
        // A top-bit installed build (negative on the application's side) is
        // larger than every ordinary build.
        BuildCase{9223372036854775807u, 9223372036854775808u,
                  R"({"available":false,"build":9223372036854775807,"ok":true,"version":"1.0.0"})"},
        BuildCase{18446744073709551615u, 9223372036854775808u,
                  R"({"available":true,"build":18446744073709551615,"ok":true,"version":"1.0.0"})"},
        BuildCase{1, 18446744073709551615u,
                  R"({"available":false,"build":1,"ok":true,"version":"1.0.0"})"}),
    [](const auto& p) {
      return "Release" + std::to_string(p.param.release_build) + "Installed" +
             std::to_string(p.param.installed_build);
    });

TEST_F(MiniCheck, VersionTextIsPassedOnUnchanged) {
  Release release = release_with_build("pane-keeper", 3);
  release.version = "3.0 „Žluťoučký\" kůň\n";
  publish(release);
  EXPECT_EQ(
      "{\"available\":true,\"build\":3,\"ok\":true,"
      "\"version\":\"3.0 „Žluťoučký\\\" kůň\\n\"}",
      check("pane-keeper", "14.0.0", 2));
}

TEST_F(MiniCheck, ProcessorIsReportedBeforeSystemVersion) {
  Release release = release_with_build("orbit-action-dial", 5);
  release.architectures = {"arm64"};
  release.minimum_macos = "99.0";
  publish(release);
  EXPECT_EQ(error_document(processor), check("orbit-action-dial", "14.0.0", 0));
}

TEST_F(MiniCheck, SystemTooOld) {
  Release release = release_with_build("orbit-action-dial", 5);
  release.minimum_macos = "15";
  publish(release);
  EXPECT_EQ(error_document("Vyžaduje macOS 15 nebo novější."),
            check("orbit-action-dial", "14.6.1", 0));
}

TEST_F(MiniCheck, ManifestOver65536BytesIsRefused) {
  server().put(manifest_path("orbit-action-dial"),
               padded_manifest(release_with_build("orbit-action-dial", 5), 65537));
  EXPECT_EQ(error_document(too_large), check("orbit-action-dial", "14.0.0", 0));
}

TEST_F(MiniCheck, UnpublishedRelease) {
  std::filesystem::remove(server().root() + manifest_path("pane-keeper"));
  EXPECT_EQ(error_document(not_published), check("pane-keeper", "14.0.0", 0));
}

TEST_F(MiniCheck, ReleaseNotesOfTheOfferedRelease) {
  const Release offered = release_with_build("pane-keeper", 4);
  server().put(notes_path("pane-keeper"),
               fixture::signed_manifest(fixture::load_key("pane-keeper"),
                                        fixture::notes_json(offered, "<b>Řádek</b>\n\tdva")));
  char* text = mini_release_notes("pane-keeper", 4, "1.0.0");
  EXPECT_STREQ(R"({"ok":true,"text":"<b>Řádek</b>\n\tdva"})", text);
  mini_free(text);
}

TEST_F(MiniCheck, ExternalToolAsksTheServerNothing) {
  const std::size_t before = server().requests().size();
  EXPECT_EQ(error_document(external), check("clip-ledger", "14.0.0", 0));
  EXPECT_EQ(before, server().requests().size());
}

TEST_F(MiniCheck, UnknownTool) {
  EXPECT_EQ(error_document("Neznámý nástroj."), check("Orbit-Action-Dial", "14.0.0", 0));
  EXPECT_EQ(error_document("Neznámý nástroj."), check(nullptr, "14.0.0", 0));
}

TEST_F(MiniCheck, NullSystemVersionIsUnreadable) {
  publish(release_with_build("orbit-action-dial", 5));
  EXPECT_EQ(error_document("Neplatná verze macOS."), check("orbit-action-dial", nullptr, 0));
}

TEST_F(MiniCheck, EightConcurrentChecksAllSucceedAndLeaveNoChild) {
  publish(release_with_build("orbit-action-dial", 11));
  publish(release_with_build("pane-keeper", 22));
  const std::vector<std::string> expected = {
      R"({"available":true,"build":11,"ok":true,"version":"1.0.0"})",
      R"({"available":true,"build":22,"ok":true,"version":"1.0.0"})"};

  const std::size_t before = server().requests().size();
  std::vector<std::string> documents(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < documents.size(); ++i) {
    threads.emplace_back([&documents, i] {
      documents[i] = check(i % 2 == 0 ? "orbit-action-dial" : "pane-keeper", "14.0.0", 1);
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  for (std::size_t i = 0; i < documents.size(); ++i) {
    EXPECT_EQ(expected[i % 2], documents[i]) << "check " << i;
  }
  EXPECT_EQ(std::vector<pid_t>{server().pid()}, child_processes());
  EXPECT_EQ(before + 8, server().requests().size());
}

}  // namespace
}  // namespace kelvoma
