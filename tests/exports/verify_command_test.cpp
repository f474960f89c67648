// The verification command as a user runs it: the test-only executable
// (fixture catalog) on signed fixtures made at test time.
#include "exports/verify_command.h"

#include <gtest/gtest.h>

#include <array>

#include "support/run_program.h"
#include "support/signing.h"
#include "support/temp_dir.h"

namespace kelvoma {
namespace {

using testing::ProgramResult;
using testing::run_program;
using testing::TempDir;

ProgramResult verify(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), KELVOMA_FIXTURE_EXE);
  return run_program(arguments);
}

void expect_failure(const ProgramResult& result, const std::string& message) {
  EXPECT_EQ(result.err, message + "\n");
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.exit_status, 1);
}

class VerifyCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    key_ = fixture::load_key("orbit-action-dial");
    archive_ = fixture::to_bytes("PK\x05\x06 a small archive of the release");
    published_ = fixture::publish_release(dir_.path(), key_,
                                          fixture::fixture_release("orbit-action-dial"), archive_);
  }

  std::string manifest() const { return published_.manifest.string(); }
  std::string archive() const { return published_.archive.string(); }

  TempDir dir_;
  fixture::SigningKey key_;
  std::vector<std::uint8_t> archive_;
  fixture::PublishedRelease published_;
};

TEST_F(VerifyCommand, PrintsTheSuccessLineForAManifest) {
  const auto result = verify({"--verify-release", manifest()});
  EXPECT_EQ(result.out, "Verified orbit-action-dial 1.0.0 (1)\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_status, 0);
}

TEST_F(VerifyCommand, PrintsTheSuccessLineForAManifestAndItsArchive) {
  const auto result = verify({"--verify-release", manifest(), archive(), "ignored", "--x"});
  EXPECT_EQ(result.out, "Verified orbit-action-dial 1.0.0 (1)\n");
  EXPECT_EQ(result.exit_status, 0);
}

TEST_F(VerifyCommand, ASuccessLineThatCannotBeWrittenFails) {
  const auto result =
      run_program({"/bin/sh", "-c", "exec \"$0\" --verify-release \"$1\" >/dev/full",
                   KELVOMA_FIXTURE_EXE, manifest()});
  expect_failure(result, "No space left on device (os error 28)");
}

TEST_F(VerifyCommand, IgnoresTheApplicabilityRules) {
  auto release = fixture::fixture_release("orbit-action-dial");
  release.architectures = {"arm64"};
  release.minimum_macos = "99.0";
  release.version = "2.0 β";
  release.build = 18446744073709551615u;
  const auto published = fixture::publish_release(dir_.file("other"), key_, release, archive_);
  const auto result = verify({"--verify-release", published.manifest.string()});
  EXPECT_EQ(result.out, "Verified orbit-action-dial 2.0 β (18446744073709551615)\n");
  EXPECT_EQ(result.exit_status, 0);
}

TEST_F(VerifyCommand, ReportsEachFailureOnOneLine) {
  const std::string longer = dir_.write("longer.zip", fixture::read_file(archive()) + "x");
  std::string shorter_bytes = fixture::read_file(archive());
  shorter_bytes.pop_back();
  const std::string shorter = dir_.write("shorter.zip", shorter_bytes);
  std::string flipped_bytes = fixture::read_file(archive());
  flipped_bytes[3] ^= 0x01;
  const std::string flipped = dir_.write("flipped.zip", flipped_bytes);
  const std::string oversized = dir_.write("big.json", std::string(65537, ' '));
  const std::string empty = dir_.write("empty.json", "");

  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--verify-release"}, "Chybí cesta k release.json."},
      {{"--verify-release", dir_.file("missing.json")}, "No such file or directory (os error 2)"},
      {{"--verify-release", ""}, "No such file or directory (os error 2)"},
      {{"--verify-release", dir_.path()}, "Is a directory (os error 21)"},
      {{"--verify-release", oversized}, "Informace o verzi jsou příliš velké."},
      {{"--verify-release", "/dev/zero"}, "Informace o verzi jsou příliš velké."},
      {{"--verify-release", empty}, "Neplatné informace o verzi."},
      {{"--verify-release", manifest(), dir_.file("missing.zip")},
       "No such file or directory (os error 2)"},
      {{"--verify-release", manifest(), longer}, "Velikost archivu nesouhlasí."},
      {{"--verify-release", manifest(), shorter}, "Velikost archivu nesouhlasí."},
      {{"--verify-release", manifest(), "/dev/zero"}, "Velikost archivu nesouhlasí."},
      {{"--verify-release", manifest(), flipped},
       "Podpis vydavatele nesouhlasí. Instalace byla zastavena."},
  };
  for (const auto& [arguments, message] : cases) {
    SCOPED_TRACE(arguments.back());
    expect_failure(verify(arguments), message);
  }
}

// The archive is read in pieces of 1 MiB: sizes on and around a piece's
// edge, a change in a later piece, and a file one byte too long or short.
TEST_F(VerifyCommand, ArchivesOfSeveralPieces) {
  struct Case {
    std::string name;
    std::size_t size;
  };
  constexpr std::size_t piece = std::size_t{1} << 20;
  const Case cases[] = {
      {.name = "one piece exactly", .size = piece},
      {.name = "one byte into the second piece", .size = piece + 1},
      {.name = "two and a half pieces", .size = piece * 5 / 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> bytes(c.size);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<std::uint8_t>(i * 131 + i / 977);
    }
    const auto published =
        fixture::publish_release(dir_.file(std::to_string(c.size)), key_,
                                 fixture::fixture_release("orbit-action-dial"), bytes);
    const std::string manifest = published.manifest.string();
    const auto accepted = verify({"--verify-release", manifest, published.archive.string()});
    EXPECT_EQ(accepted.out, "Verified orbit-action-dial 1.0.0 (1)\n");
    EXPECT_EQ(accepted.exit_status, 0);

    std::string changed(bytes.begin(), bytes.end());
    changed.back() ^= 0x20;
    expect_failure(verify({"--verify-release", manifest, dir_.write("changed.zip", changed)}),
                   "Podpis vydavatele nesouhlasí. Instalace byla zastavena.");
    expect_failure(verify({"--verify-release", manifest, dir_.write("longer.zip", changed + "x")}),
                   "Velikost archivu nesouhlasí.");
    changed.pop_back();
    expect_failure(verify({"--verify-release", manifest, dir_.write("shorter.zip", changed)}),
                   "Velikost archivu nesouhlasí.");
  }
}

TEST_F(VerifyCommand, ArchiveThatCannotBeReadGivesTheSystemError) {
  expect_failure(verify({"--verify-release", manifest(), dir_.path()}),
                 "Is a directory (os error 21)");
}

TEST_F(VerifyCommand, RefusesAManifestPublishedForAnotherTool) {
  // Signed with the other tool's key: the signature fails first.
  const auto other_key = fixture::load_key("pane-keeper");
  const auto theirs = fixture::publish_release(dir_.file("theirs"), other_key,
                                               fixture::fixture_release("pane-keeper"), archive_);
  expect_failure(verify({"--verify-release", theirs.manifest.string()}),
                 "Podpis vydavatele nesouhlasí. Instalace byla zastavena.");

  // Signed with this tool's key but naming the other tool.
  const auto mislabelled = fixture::publish_release(
      dir_.file("mislabelled"), key_, fixture::fixture_release("pane-keeper"), archive_);
  expect_failure(verify({"--verify-release", mislabelled.manifest.string()}),
                 "Vydání neodpovídá nástroji v katalogu.");
}

TEST(IsVerifyRelease, MatchesOnlyTheExactFirstArgument) {
  using Arguments = std::vector<const char*>;
  const std::pair<Arguments, bool> cases[] = {
      {{"kelvoma"}, false},
      {{"kelvoma", "--verify-release"}, true},
      {{"kelvoma", "--verify-release", "a", "b", "c"}, true},
      {{"kelvoma", "--VERIFY-RELEASE", "a"}, false},
      {{"kelvoma", "--verify-release=a"}, false},
      {{"kelvoma", "--verify-release "}, false},
      {{"kelvoma", "a", "--verify-release"}, false},
      {{"kelvoma", "--background"}, false},
      {{"kelvoma", "\xFF--verify-release"}, false},
  };
  for (const auto& [arguments, expected] : cases) {
    EXPECT_EQ(is_verify_release(arguments), expected) << arguments.size();
  }
}

}  // namespace
}  // namespace kelvoma
