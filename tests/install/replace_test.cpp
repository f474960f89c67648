// Replacement with backup and rollback, and the exclusive move: injected
// rename failures for every step, and real ones (another file system, a
// mount point that cannot be moved, an entry at the target).
#include "install/replace.h"

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <functional>
#include <optional>

#include "install/install_directory.h"
#include "install/install_helpers.h"
#include "support/fixture_bundle.h"
#include "support/signing.h"
#include "support/temp_dir.h"

namespace kelvoma {
namespace {

namespace fs = std::filesystem;

// The system's renames, except that call number `failing_call` (counting
// from 1, both kinds together) fails with `error` and changes nothing.
class FailingRenames final : public RenameOperations {
 public:
  explicit FailingRenames(std::vector<std::pair<int, int>> failures)
      : failures_(std::move(failures)) {}

  int rename(const std::string& from, const std::string& to) const override {
    calls_.emplace_back(from, to);
    if (const int error = injected(); error != 0) return error;
    return system_rename_operations().rename(from, to);
  }
  int rename_exclusive(const std::string& from, const std::string& to) const override {
    calls_.emplace_back(from, to);
    if (const int error = injected(); error != 0) return error;
    return system_rename_operations().rename_exclusive(from, to);
  }

  const std::vector<std::pair<std::string, std::string>>& calls() const { return calls_; }
  void before_call(int call, std::function<void()> action) {
    action_call_ = call;
    action_ = std::move(action);
  }

 private:
  int injected() const {
    if (static_cast<int>(calls_.size()) == action_call_) action_();
    for (const auto& [call, error] : failures_) {
      if (call == static_cast<int>(calls_.size())) return error;
    }
    return 0;
  }
  std::vector<std::pair<int, int>> failures_;  // (call number, errno)
  int action_call_ = 0;
  std::function<void()> action_;
  mutable std::vector<std::pair<std::string, std::string>> calls_;
};

// A tmpfs mounted for a test, detached again at the end.
class ScopedMount {
 public:
  explicit ScopedMount(const std::string& where) : where_(where) {
    mounted_ = ::mount("kelvoma-test", where.c_str(), "tmpfs", 0, "mode=0755") == 0;
  }
  ScopedMount(const ScopedMount&) = delete;
  ScopedMount& operator=(const ScopedMount&) = delete;
  ~ScopedMount() {
    if (mounted_) ::umount2(where_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string where_;
  bool mounted_ = false;
};

std::string marker_of(const std::string& bundle) {
  return testing::read_file(bundle + "/Contents/Resources/marker.txt");
}

class ReplaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(apps_);
    auto made = InstallDirectory::create(apps_);
    ASSERT_TRUE(made);
    directory_.emplace(std::move(*made));
    work_ = fs::path(directory_->entry("unpacked")).parent_path();
    new_bundle_ = work_ + "/unpacked/Orbit Action Dial.app";
    backup_ = work_ + "/previous.app";
    fs::create_directories(work_ + "/unpacked");
    fixture::BundleSpec spec = fixture::tool_bundle("orbit-action-dial", 2);
    spec.marker = "new";
    fixture::make_bundle(work_ + "/unpacked", spec);
  }

  void install_old() {
    fixture::BundleSpec spec = fixture::tool_bundle("orbit-action-dial", 1);
    spec.marker = "old";
    fixture::make_bundle(apps_, spec);
  }

  testing::TempDir dir_;
  std::string apps_ = dir_.file("Applications");
  std::optional<InstallDirectory> directory_;
  std::string work_;
  std::string new_bundle_;
  std::string target_ = apps_ + "/Orbit Action Dial.app";
  std::string backup_;
};

struct ReplaceCase {
  std::string name;
  bool installed;
  std::vector<std::pair<int, int>> failures;  // (rename call, errno)
  std::string message;                        // empty: success; "{backup}" is replaced
  std::optional<std::string> target_marker;   // nothing: no target
  std::optional<std::string> backup_marker;   // nothing: no backup
  bool new_bundle_left;
  std::optional<std::string> occupant = {};  // a bundle with this marker appears before the restore
};

// Test names in listings come from here, not from the bytes of the case.
void PrintTo(const ReplaceCase& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class ReplaceBundleTest : public ReplaceTest, public ::testing::WithParamInterface<ReplaceCase> {};

TEST_P(ReplaceBundleTest, OutcomeAndWhatRemains) {
  const ReplaceCase& c = GetParam();
  if (c.installed) install_old();
  FailingRenames renames(c.failures);
  if (c.occupant) {
    // A sync client puts a copy back while the new bundle fails to move in.
    renames.before_call(3, [&] {
      fixture::BundleSpec spec = fixture::tool_bundle("orbit-action-dial", 1);
      spec.marker = *c.occupant;
      fixture::make_bundle(apps_, spec);
    });
  }
  const auto replaced = replace_bundle(new_bundle_, target_, backup_, renames);
  if (c.message.empty()) {
    EXPECT_TRUE(replaced.has_value()) << replaced.error();
  } else {
    std::string expected = c.message;
    if (const auto at = expected.find("{backup}"); at != std::string::npos) {
      expected.replace(at, 8, backup_);
    }
    ASSERT_FALSE(replaced.has_value());
    EXPECT_EQ(replaced.error(), expected);
  }
  if (c.target_marker) {
    EXPECT_EQ(marker_of(target_), *c.target_marker);
  } else {
    EXPECT_FALSE(fs::exists(fs::symlink_status(target_)));
  }
  if (c.backup_marker) {
    EXPECT_EQ(marker_of(backup_), *c.backup_marker);
  } else {
    EXPECT_FALSE(fs::exists(fs::symlink_status(backup_)));
  }
  EXPECT_EQ(fs::exists(new_bundle_), c.new_bundle_left);
  directory_.reset();  // never takes a backup with it
  EXPECT_EQ(fs::exists(work_), c.backup_marker.has_value());
}

const std::string busy = "Device or resource busy (os error 16)";
const std::string cross = "Invalid cross-device link (os error 18)";
const std::string denied = "Permission denied (os error 13)";

INSTANTIATE_TEST_SUITE_P(
    Steps, ReplaceBundleTest,
    ::testing::Values(ReplaceCase{"FirstInstallation", false, {}, "", "new", {}, false},
                      ReplaceCase{"FirstInstallationMoveFails",
                                  false,
                                  {{1, EXDEV}},
                                  "Instalace selhala, původní aplikace zůstala zachovaná: " + cross,
                                  {},
                                  {},
                                  true},
                      ReplaceCase{"Update", true, {}, "", "new", "old", false},
                      ReplaceCase{"InstalledCopyCannotBeMovedAside",
                                  true,
                                  {{1, EBUSY}},
                                  "Původní aplikaci nelze připravit: " + busy,
                                  "old",
                                  {},
                                  true},
                      ReplaceCase{"NewBundleCannotMoveInRestored",
                                  true,
                                  {{2, EXDEV}},
                                  "Instalace selhala, původní aplikace zůstala zachovaná: " + cross,
                                  "old",
                                  {},
                                  true},
                      ReplaceCase{"NewBundleCannotMoveInRestoreFails",
                                  true,
                                  {{2, EXDEV}, {3, EACCES}},
                                  "Instalace selhala: " + cross + ". Obnovení selhalo: " + denied +
                                      ". Původní aplikace je v {backup}.",
                                  {},
                                  "old",
                                  true},
                      ReplaceCase{"OccupiedTargetAfterAFailedRestore",
                                  true,
                                  {{2, EXDEV}},
                                  "Instalace selhala: " + cross +
                                      ". Obnovení selhalo: Directory not empty (os error 39). "
                                      "Původní aplikace je v {backup}.",
                                  "synced",
                                  "old",
                                  true,
                                  "synced"}),
    [](const auto& test) { return test.param.name; });

TEST_F(ReplaceTest, RenamesInTheirOrder) {
  install_old();
  const FailingRenames renames({{2, EXDEV}});
  ASSERT_FALSE(replace_bundle(new_bundle_, target_, backup_, renames).has_value());
  const std::vector<std::pair<std::string, std::string>> expected = {
      {target_, backup_}, {new_bundle_, target_}, {backup_, target_}};
  EXPECT_EQ(renames.calls(), expected);
}

TEST_F(ReplaceTest, DanglingLinkAtTheTargetCountsAsNothingInstalled) {
  // No backup is made of a link that leads nowhere; the single move then
  // meets the link, which a directory cannot replace, and the link stays.
  const std::string nowhere = dir_.file("nowhere");
  fs::create_symlink(nowhere, target_);
  const FailingRenames renames({});
  const auto replaced = replace_bundle(new_bundle_, target_, backup_, renames);
  ASSERT_FALSE(replaced.has_value());
  EXPECT_EQ(replaced.error(),
            "Instalace selhala, původní aplikace zůstala zachovaná: Not a directory (os error 20)");
  const std::vector<std::pair<std::string, std::string>> expected = {{new_bundle_, target_}};
  EXPECT_EQ(renames.calls(), expected);
  EXPECT_EQ(fs::read_symlink(target_), nowhere);
}

// Real faults: the kernel, not the seam, refuses the renames.

TEST_F(ReplaceTest, RealFaultMountedTargetCannotBeMovedAside) {
  fs::create_directory(target_);
  const ScopedMount mount(target_);
  if (!mount.mounted()) GTEST_SKIP() << "mounting is not permitted here";
  fixture::BundleSpec spec = fixture::tool_bundle("orbit-action-dial", 1);
  spec.marker = "old";
  spec.bundle_name = ".";
  fixture::make_bundle(target_, spec);
  const auto replaced = replace_bundle(new_bundle_, target_, backup_);
  ASSERT_FALSE(replaced.has_value());
  EXPECT_EQ(replaced.error(), "Původní aplikaci nelze připravit: " + busy);
  EXPECT_EQ(marker_of(target_), "old");
  EXPECT_EQ(marker_of(new_bundle_), "new");
  EXPECT_FALSE(fs::exists(backup_));
}

TEST_F(ReplaceTest, RealFaultNewBundleOnAnotherFileSystemIsRestored) {
  install_old();
  const std::string elsewhere = dir_.file("elsewhere");
  fs::create_directory(elsewhere);
  const ScopedMount mount(elsewhere);
  if (!mount.mounted()) GTEST_SKIP() << "mounting is not permitted here";
  fixture::BundleSpec spec = fixture::tool_bundle("orbit-action-dial", 2);
  spec.marker = "foreign";
  const std::string foreign = fixture::make_bundle(elsewhere, spec);
  const auto replaced = replace_bundle(foreign, target_, backup_);
  ASSERT_FALSE(replaced.has_value());
  EXPECT_EQ(replaced.error(), "Instalace selhala, původní aplikace zůstala zachovaná: " + cross);
  EXPECT_EQ(marker_of(target_), "old");
  EXPECT_FALSE(fs::exists(backup_));
}

TEST_F(ReplaceTest, RealFaultMissingNewBundleIsRestored) {
  install_old();
  const auto replaced = replace_bundle(dir_.file("gone.app"), target_, backup_);
  ASSERT_FALSE(replaced.has_value());
  EXPECT_EQ(replaced.error(),
            "Instalace selhala, původní aplikace zůstala zachovaná: No such file or directory (os "
            "error 2)");
  EXPECT_EQ(marker_of(target_), "old");
  EXPECT_FALSE(fs::exists(backup_));
}

TEST_F(ReplaceTest, RealFaultBackupDirectoryGone) {
  install_old();
  const auto replaced = replace_bundle(new_bundle_, target_, dir_.file("gone/previous.app"));
  ASSERT_FALSE(replaced.has_value());
  EXPECT_EQ(replaced.error(),
            "Původní aplikaci nelze připravit: No such file or directory (os error 2)");
  EXPECT_EQ(marker_of(target_), "old");
}

// --- move_into_place -------------------------------------------------------

struct OccupiedCase {
  std::string name;
  std::function<void(const std::string& target)> occupy;
};

void PrintTo(const OccupiedCase& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class MoveIntoPlaceTest : public ReplaceTest, public ::testing::WithParamInterface<OccupiedCase> {};

TEST_P(MoveIntoPlaceTest, RefusesAnyEntryAtTheTargetAndLeavesItAlone) {
  GetParam().occupy(target_);
  const auto before = fs::symlink_status(target_).type();
  const auto moved = move_into_place(new_bundle_, target_);
  ASSERT_FALSE(moved.has_value());
  EXPECT_EQ(moved.error(), "Aplikaci nelze nainstalovat: File exists (os error 17)");
  EXPECT_EQ(fs::symlink_status(target_).type(), before);
  EXPECT_EQ(marker_of(new_bundle_), "new");
}

INSTANTIATE_TEST_SUITE_P(
    Entries, MoveIntoPlaceTest,
    ::testing::Values(
        OccupiedCase{"EmptyDirectory", [](const std::string& path) { fs::create_directory(path); }},
        OccupiedCase{"File", [](const std::string& path) { fixture::write_file(path, "mine"); }},
        OccupiedCase{"DanglingLink",
                     [](const std::string& path) { fs::create_symlink(path + ".nowhere", path); }},
        OccupiedCase{"InstalledBundle",
                     [](const std::string& path) {
                       fixture::make_bundle(fs::path(path).parent_path(),
                                            fixture::tool_bundle("orbit-action-dial", 1));
                     }}),
    [](const auto& test) { return test.param.name; });

TEST_F(ReplaceTest, MoveIntoPlaceOntoAFreeTarget) {
  ASSERT_TRUE(move_into_place(new_bundle_, target_).has_value());
  EXPECT_EQ(marker_of(target_), "new");
  EXPECT_FALSE(fs::exists(new_bundle_));
}

TEST_F(ReplaceTest, MoveIntoPlaceUsesTheExclusiveRename) {
  const FailingRenames renames({{1, EEXIST}});
  const auto moved = move_into_place(new_bundle_, target_, renames);
  ASSERT_FALSE(moved.has_value());
  EXPECT_EQ(moved.error(), "Aplikaci nelze nainstalovat: File exists (os error 17)");
  EXPECT_FALSE(fs::exists(target_));
}

TEST_F(ReplaceTest, MoveIntoPlaceOtherFailure) {
  const auto moved = move_into_place(new_bundle_, dir_.file("gone/Orbit Action Dial.app"));
  ASSERT_FALSE(moved.has_value());
  EXPECT_EQ(moved.error(), "Aplikaci nelze nainstalovat: No such file or directory (os error 2)");
  EXPECT_TRUE(fs::exists(new_bundle_));
}

}  // namespace
}  // namespace kelvoma
