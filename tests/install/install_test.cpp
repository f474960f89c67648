// The install pipeline end to end: mini_install of the fixture build against
// the local HTTPS server on the fixture port, real curl, real zip archives,
// real bsdtar and the stub signing programs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sodium.h>
#include <sys/fanotify.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "fetch/command.h"
#include "install/install.h"
#include "install/install_helpers.h"
#include "kelvoma/kelvoma.h"
#include "support/fixture_bundle.h"
#include "support/signing.h"
#include "support/temp_dir.h"
#include "support/test_server.h"
#include "verify/build_config.h"
#include "verify/manifest.h"
#include "verify/util/unique_fd.h"

namespace kelvoma {
namespace {

namespace fs = std::filesystem;
using install_testing::install_directories;
using install_testing::record_progress;
using Report = install_testing::ProgressReport;
using install_testing::ScopedEnv;
using install_testing::SigningStubs;

constexpr const char* orbit_id = "orbit-action-dial";
constexpr const char* clip_id = "clip-ledger";
constexpr const char* os_version = "14.0.0";
const std::string manifest_path =
    "/tobranix/orbit-action-dial/releases/latest/download/release.json";
const std::string release_api_path = "/api/repos/tobranix/clip-ledger/releases/latest";
const std::string asset_name = "ClipLedger-x64-mac.zip";

// What the stop callback does and saw. The callback is a plain C function,
// so its state lives here; every test starts from a fresh one.
struct StopProbe {
  std::int32_t result = 0;
  int calls = 0;
  const char* id = nullptr;
  const char* target = nullptr;
  std::function<void()> action;
};

StopProbe& probe() {
  static StopProbe instance;
  return instance;
}

std::int32_t stop_callback(const char* id, const char* target) {
  StopProbe& p = probe();
  ++p.calls;
  p.id = id;
  p.target = target;
  if (p.action) p.action();
  return p.result;
}

// With `reports`, through mini_install_with_progress, which records there.
std::string install_document(const char* id, const char* target, const char* os = os_version,
                             std::vector<Report>* reports = nullptr) {
  char* text =
      reports ? mini_install_with_progress(id, target, os, stop_callback, record_progress, reports)
              : mini_install(id, target, os, stop_callback);
  std::string document(text);
  mini_free(text);
  return document;
}

// What mini_install passes on for `id` and `target`, this process's HOME
// included.
InstallArguments arguments_for(const char* id, const std::string& target) {
  return {.id = id,
          .target_path = target.c_str(),
          .os_version = os_version,
          .stop = stop_callback,
          .home = ::getenv("HOME")};
}

std::string failure(std::string_view message, bool relaunch = false) {
  return nlohmann::json{{"error", std::string(message)}, {"ok", false}, {"relaunch", relaunch}}
      .dump();
}

const std::string success = R"({"ok":true,"relaunch":false})";
const std::string success_relaunch = R"({"ok":true,"relaunch":true})";

std::string marker_of(const std::string& bundle) {
  return testing::read_file(bundle + "/Contents/Resources/marker.txt");
}

std::string sha256_digest(std::span<const std::uint8_t> bytes) {
  std::array<std::uint8_t, crypto_hash_sha256_BYTES> digest{};
  crypto_hash_sha256(digest.data(), bytes.data(), bytes.size());
  std::array<char, crypto_hash_sha256_BYTES * 2 + 1> hex{};
  sodium_bin2hex(hex.data(), hex.size(), digest.data(), digest.size());
  return "sha256:" + std::string(hex.data());
}

// A tmpfs mounted for a test, detached again at the end.
class ScopedMount {
 public:
  ScopedMount(const std::string& where, const std::string& options, unsigned long flags = 0)
      : where_(where) {
    mounted_ = ::mount("kelvoma-test", where.c_str(), "tmpfs", flags, options.c_str()) == 0;
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

class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.running()) << server_.failure();
    probe() = StopProbe{};
  }

  void TearDown() override {
    // After every success and every failure but the kept backup, no install
    // directory remains next to the target.
    for (const std::string& parent : {apps_, std::string("/Applications")}) {
      if (keeps_install_directory_ && parent == apps_) continue;
      EXPECT_EQ(install_directories(parent), std::vector<fs::path>{}) << parent;
    }
    probe() = StopProbe{};
  }

  // --- manifest-based tool -------------------------------------------------

  // A bundle of the orbit tool, `marker` telling copies apart.
  static fixture::BundleSpec orbit_bundle(std::uint64_t build, std::string marker) {
    fixture::BundleSpec spec =
        fixture::tool_bundle(orbit_id, build, "1.0." + std::to_string(build));
    spec.marker = std::move(marker);
    return spec;
  }

  std::vector<std::uint8_t> zip_bundle(const fixture::BundleSpec& spec) {
    const std::string source = sources_.file("bundle-" + std::to_string(++zips_));
    fs::create_directories(source);
    fixture::make_bundle(source, spec);
    return fixture::zip_entries(source, {spec.bundle_name}, source + ".zip");
  }

  // Publishes `archive` as release `build` of the orbit tool; returns the
  // release as signed.
  Release publish(std::span<const std::uint8_t> archive, std::uint64_t build) {
    Release release = fixture::fixture_release(orbit_id);
    release.build = build;
    release.version = "1.0." + std::to_string(build);
    release.archive_url =
        fixture::archive_prefix(orbit_id) + "v" + release.version + "/orbit-action-dial.zip";
    const auto published = fixture::publish_release(
        server_.root() + "/tobranix/orbit-action-dial/releases/download/v" + release.version,
        fixture::load_key(orbit_id), release, archive);
    server_.put(manifest_path, fixture::read_file(published.manifest));
    archive_file_ = published.archive.string();
    return published.release;
  }

  Release publish_bundle(const fixture::BundleSpec& spec, std::uint64_t build) {
    return publish(zip_bundle(spec), build);
  }

  Release publish_release_2() { return publish_bundle(orbit_bundle(2, "new"), 2); }

  std::string install_old(std::uint64_t build = 1, const std::string& directory = "") {
    const std::string parent = directory.empty() ? apps_ : directory;
    fs::create_directories(parent);
    return fixture::make_bundle(parent, orbit_bundle(build, "old"));
  }

  bool archive_requested() const {
    for (const auto& request : server_.requests()) {
      if (request.target.ends_with(".zip")) return true;
    }
    return false;
  }
  bool manifest_requested() const {
    for (const auto& request : server_.requests()) {
      if (request.target == manifest_path) return true;
    }
    return false;
  }

  std::vector<std::string> programs_run() const {
    std::vector<std::string> programs;
    for (const auto& run : stubs_.runs()) programs.push_back(run.front());
    return programs;
  }

  // --- external tool ------------------------------------------------------

  std::string asset_url(const std::string& tag) const {
    return "https://localhost:" + std::to_string(server_.port()) +
           "/web/tobranix/clip-ledger/releases/download/" + tag + "/" + asset_name;
  }

  // Serves `archive` as the only asset of the latest release `tag`.
  void publish_external(std::span<const std::uint8_t> archive, const std::string& tag = "v1.2",
                        std::optional<std::string> digest = std::nullopt) {
    server_.put("/web/tobranix/clip-ledger/releases/download/" + tag + "/" + asset_name,
                std::string_view(reinterpret_cast<const char*>(archive.data()), archive.size()));
    const nlohmann::json answer = {{"tag_name", tag},
                                   {"draft", false},
                                   {"prerelease", false},
                                   {"html_url", "https://example.invalid/ignored"},
                                   {"assets",
                                    {{{"name", asset_name},
                                      {"browser_download_url", asset_url(tag)},
                                      {"digest", digest.value_or(sha256_digest(archive))},
                                      {"size", archive.size()}}}}};
    server_.put(release_api_path, answer.dump());
  }

  static fixture::BundleSpec clip_bundle(const std::string& version = "1.2") {
    fixture::BundleSpec spec = fixture::tool_bundle(clip_id, 9, version);
    spec.marker = "clip";
    return spec;
  }

  std::string install_external(const std::string& target, const char* os = os_version) {
    return install_document(clip_id, target.c_str(), os);
  }

  testing::TestServer server_{testing::ServerPort::fixture};
  testing::TempDir home_;
  testing::TempDir sources_;
  ScopedEnv home_env_{"HOME", home_.path()};
  SigningStubs stubs_;
  std::string apps_ = home_.file("Applications");
  std::string target_ = apps_ + "/Orbit Action Dial.app";
  std::string clip_target_ = apps_ + "/ClipLedger.app";
  std::string archive_file_;
  int zips_ = 0;
  bool keeps_install_directory_ = false;
};

// === manifest-based route =================================================

TEST_F(InstallTest, FirstInstallationCreatesHomeApplications) {
  publish_release_2();
  ASSERT_FALSE(fs::exists(apps_));
  EXPECT_EQ(install_document(orbit_id, target_.c_str()), success);
  EXPECT_EQ(marker_of(target_), "new");
  EXPECT_TRUE(fs::is_symlink(target_ + "/Contents/Resources/marker-link"));
  EXPECT_EQ(fs::status(target_ + "/Contents/MacOS/fixture-tool").permissions() & fs::perms::mask,
            fs::perms(0755));
  EXPECT_EQ(probe().calls, 1);
}

TEST_F(InstallTest, UpdateReplacesTheInstalledCopy) {
  install_old();
  publish_release_2();
  probe().result = 1;
  EXPECT_EQ(install_document(orbit_id, target_.c_str()), success_relaunch);
  EXPECT_EQ(marker_of(target_), "new");
  EXPECT_EQ(testing::read_file(target_ + "/Contents/Info.plist"),
            fixture::info_plist(orbit_bundle(2, "new")));
  EXPECT_EQ(install_testing::tree(apps_).size(), install_testing::tree(target_).size() + 1);
}

TEST_F(InstallTest, SealedAndNotarizedReleaseInstallsThroughTheRealChecks) {
  install_old();
  const std::string source = sources_.file("sealed");
  fs::create_directories(source);
  const auto spec = orbit_bundle(2, "new");
  ASSERT_TRUE(fixture::seal_bundle(fixture::make_bundle(source, spec)));
  publish(fixture::zip_entries(source, {spec.bundle_name}, source + ".zip"), 2);
  const auto outcome = install_tool(fixture::seal_config(), arguments_for(orbit_id, target_));
  EXPECT_EQ(outcome.error, std::nullopt);
  EXPECT_EQ(marker_of(target_), "new");
  EXPECT_TRUE(programs_run().empty());
}

TEST_F(InstallTest, StopReceivesTheArgumentsAsGiven) {
  install_old();
  publish_release_2();
  const std::string id = orbit_id;
  EXPECT_EQ(install_document(id.c_str(), target_.c_str()), success);
  EXPECT_EQ(probe().id, id.c_str());
  EXPECT_EQ(probe().target, target_.c_str());
}

TEST_F(InstallTest, SignatureProgramsSeeTheUnpackedBundle) {
  publish_release_2();
  ASSERT_EQ(install_document(orbit_id, target_.c_str()), success);
  const auto runs = stubs_.runs();
  ASSERT_EQ(runs.size(), 2u);
  const std::string bundle = runs[0].back();
  EXPECT_TRUE(bundle.starts_with(apps_ + "/.kelvoma-install-")) << bundle;
  EXPECT_TRUE(bundle.ends_with("/unpacked/Orbit Action Dial.app")) << bundle;
  EXPECT_EQ(bundle.size(), apps_.size() + 1 + 17 + 6 + 31);
  const std::string name = bundle.substr(apps_.size() + 18, 6);
  EXPECT_EQ(
      name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
      std::string::npos);
  EXPECT_EQ(runs[0][5],
            "=anchor apple generic and identifier \"cz.tobranix.orbit-action-dial\" and "
            "certificate leaf[subject.OU] = \"TESTTEAM42\"");
  EXPECT_EQ(runs[1], (std::vector<std::string>{"spctl", "--assess", "--type", "execute", bundle}));
}

TEST_F(InstallTest, TargetWithDoubledAndTrailingSeparators) {
  install_old();
  publish_release_2();
  const std::string target = home_.path() + "//Applications/./Orbit Action Dial.app/";
  EXPECT_EQ(install_document(orbit_id, target.c_str()), success);
  EXPECT_EQ(marker_of(target_), "new");
  EXPECT_EQ(probe().target, target.c_str());
}

TEST_F(InstallTest, FirstInstallationIntoSystemApplications) {
  // A real /Applications, made for this test when the machine has none and
  // removed again; the fixture port's lock keeps other installation tests out.
  const bool made = !fs::exists("/Applications");
  const std::string target = "/Applications/Orbit Action Dial.app";
  if (!made && fs::exists(fs::symlink_status(target))) GTEST_SKIP() << target << " exists";
  publish_release_2();
  const std::string document = install_document(orbit_id, target.c_str());
  const std::string marker = marker_of(target);
  EXPECT_EQ(install_directories("/Applications"), std::vector<fs::path>{});
  std::error_code ignored;
  fs::remove_all(made ? "/Applications" : target, ignored);
  EXPECT_EQ(document, success);
  EXPECT_EQ(marker, "new");
}

TEST_F(InstallTest, RelaunchStaysTrueWhenALaterStepFails) {
  install_old();
  publish_release_2();
  probe().result = 1;
  // The tool, while quitting, left a newer copy behind.
  probe().action = [&] {
    fs::remove_all(target_);
    fixture::make_bundle(apps_, orbit_bundle(5, "meanwhile"));
  };
  EXPECT_EQ(install_document(orbit_id, target_.c_str()),
            failure("Aplikace se během stahování změnila. Zkontroluj verze znovu.", true));
  EXPECT_EQ(marker_of(target_), "meanwhile");
}

TEST_F(InstallTest, TargetThatAppearedMeanwhileIsChecked) {
  publish_release_2();
  probe().action = [&] {
    fs::create_directories(apps_);
    fixture::BundleSpec other = orbit_bundle(1, "other");
    fixture::set_info(other, "CFBundleIdentifier", std::string("cz.example.other"));
    fixture::make_bundle(apps_, other);
  };
  EXPECT_EQ(install_document(orbit_id, target_.c_str()),
            failure("Aplikace se během stahování změnila. Zkontroluj verze znovu."));
  EXPECT_EQ(marker_of(target_), "other");
}

TEST_F(InstallTest, TargetWhoseInfoPlistBrokeMeanwhile) {
  install_old();
  publish_release_2();
  probe().action = [&] { fs::remove(target_ + "/Contents/Info.plist"); };
  EXPECT_EQ(install_document(orbit_id, target_.c_str()),
            failure("Aplikace nemá platný Info.plist."));
}

TEST_F(InstallTest, TargetRemovedMeanwhileIsAFirstInstallation) {
  install_old();
  publish_release_2();
  probe().action = [&] { fs::remove_all(target_); };
  EXPECT_EQ(install_document(orbit_id, target_.c_str()), success);
  EXPECT_EQ(marker_of(target_), "new");
}

class StopResultTest : public InstallTest, public ::testing::WithParamInterface<std::int32_t> {};

TEST_P(StopResultTest, ToolStillRunningLeavesEverythingAsItWas) {
  install_old();
  publish_release_2();
  probe().result = GetParam();
  const auto before = install_testing::tree(apps_);
  EXPECT_EQ(
      install_document(orbit_id, target_.c_str()),
      failure("Aplikaci se nepodařilo ukončit. Dokonči v ní práci a zkus aktualizaci znovu."));
  EXPECT_EQ(marker_of(target_), "old");
  EXPECT_EQ(install_testing::tree(apps_), before);
  EXPECT_EQ(probe().calls, 1);
}

INSTANTIATE_TEST_SUITE_P(Results, StopResultTest, ::testing::Values(-1, 2, INT32_MIN, INT32_MAX));

TEST_F(InstallTest, NullStopCallbackCountsAsNotRunning) {
  install_old();
  publish_release_2();
  char* text = mini_install(orbit_id, target_.c_str(), os_version, nullptr);
  EXPECT_EQ(std::string(text), success);
  mini_free(text);
  EXPECT_EQ(marker_of(target_), "new");
}

// --- every refusal of the manifest-based route, one table ------------------

class ManagedRefusalTest;

struct RefusalCase {
  std::string name;
  std::function<void(ManagedRefusalTest&)> arrange;        // publishes and prepares the disk
  std::function<std::string(ManagedRefusalTest&)> target;  // empty: the usual target
  std::string message;
  bool manifest_fetched;
  bool archive_fetched;
  std::vector<std::string> programs;  // signing programs run
  bool old_copy_kept;                 // an old copy was installed and must be unchanged
};

// Test names in listings come from here, not from the bytes of the case.
void PrintTo(const RefusalCase& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class ManagedRefusalTest : public InstallTest, public ::testing::WithParamInterface<RefusalCase> {
 public:
  using InstallTest::install_old;
  using InstallTest::orbit_bundle;
  using InstallTest::publish;
  using InstallTest::publish_bundle;
  using InstallTest::publish_release_2;
  using InstallTest::zip_bundle;
  std::string& apps() { return apps_; }
  std::string& target() { return target_; }
  testing::TempDir& home() { return home_; }
  testing::TestServer& server() { return server_; }
  std::string& archive_file() { return archive_file_; }
};

TEST_P(ManagedRefusalTest, Refuses) {
  const RefusalCase& c = GetParam();
  c.arrange(*this);
  const auto before =
      fs::exists(target_) ? install_testing::tree(apps_) : std::vector<std::string>{};
  const std::string target = c.target ? c.target(*this) : target_;
  std::vector<Report> reports;
  EXPECT_EQ(install_document(orbit_id, target.c_str(), os_version, &reports), failure(c.message));
  // Reports start with the download and stop at the failing step's phase.
  EXPECT_EQ(reports.empty(), !c.archive_fetched);
  EXPECT_TRUE((c.programs.empty() || reports.back() == Report{KELVOMA_PHASE_CHECKING, 0, 0}));
  EXPECT_EQ(manifest_requested(), c.manifest_fetched);
  EXPECT_EQ(archive_requested(), c.archive_fetched);
  EXPECT_EQ(programs_run(), c.programs);
  EXPECT_EQ(probe().calls, 0);
  if (c.old_copy_kept) {
    EXPECT_EQ(marker_of(target_), "old");
    EXPECT_EQ(install_testing::tree(apps_), before);
  }
}

using M = ManagedRefusalTest;
const std::vector<std::string> nothing_run;
const std::vector<std::string> codesign_only = {"codesign"};
const std::vector<std::string> both_run = {"codesign", "spctl"};

void old_and_release(M& fx) {
  fx.install_old();
  fx.publish_release_2();
}

std::function<std::string(M&)> target_at(std::string relative) {
  return [relative](M& fx) { return fx.home().path() + relative; };
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ManagedRefusalTest,
    ::testing::Values(
        // The target is judged after the manifest, before the archive.
        RefusalCase{"OtherFolder", old_and_release, target_at("/Desktop/Orbit Action Dial.app"),
                    "Cíl instalace není povolený.", true, false, nothing_run, true},
        RefusalCase{"OtherName", old_and_release, target_at("/Applications/Orbit.app"),
                    "Cíl instalace není povolený.", true, false, nothing_run, true},
        RefusalCase{"NameInOtherCase", old_and_release,
                    target_at("/Applications/orbit action dial.app"),
                    "Cíl instalace není povolený.", true, false, nothing_run, true},
        RefusalCase{"ParentComponent", old_and_release,
                    target_at("/Applications/../Applications/Orbit Action Dial.app"),
                    "Cíl instalace není povolený.", true, false, nothing_run, true},
        RefusalCase{"RelativeTarget", old_and_release,
                    [](M&) { return std::string("Applications/Orbit Action Dial.app"); },
                    "Cíl instalace není povolený.", true, false, nothing_run, true},
        RefusalCase{"EmptyTarget", old_and_release, [](M&) { return std::string(); },
                    "Cíl instalace není povolený.", true, false, nothing_run, true},
        RefusalCase{"SymbolicLinkToABundle",
                    [](M& fx) {
                      fx.install_old(1, fx.home().file("Elsewhere"));
                      fs::create_directories(fx.apps());
                      fs::create_directory_symlink(
                          fx.home().file("Elsewhere/Orbit Action Dial.app"), fx.target());
                      fx.publish_release_2();
                    },
                    {},
                    "Cílová aplikace je symbolický odkaz.",
                    true,
                    false,
                    nothing_run,
                    false},
        RefusalCase{"AnotherApplication",
                    [](M& fx) {
                      fs::create_directories(fx.apps());
                      fixture::BundleSpec other = M::orbit_bundle(1, "old");
                      fixture::set_info(other, "CFBundleIdentifier", std::string("cz.example.x"));
                      fixture::make_bundle(fx.apps(), other);
                      fx.publish_release_2();
                    },
                    {},
                    "Cílové umístění patří jiné aplikaci.",
                    true,
                    false,
                    nothing_run,
                    true},
        RefusalCase{"SameBuildInstalled",
                    [](M& fx) {
                      fx.install_old(2);
                      fx.publish_release_2();
                    },
                    {},
                    "Tato nebo novější verze už je nainstalovaná.",
                    true,
                    false,
                    nothing_run,
                    true},
        RefusalCase{"HigherBuildInstalled",
                    [](M& fx) {
                      fx.install_old(3);
                      fx.publish_release_2();
                    },
                    {},
                    "Tato nebo novější verze už je nainstalovaná.",
                    true,
                    false,
                    nothing_run,
                    true},
        RefusalCase{"InstalledBuildNotAPlainInteger",
                    [](M& fx) {
                      fs::create_directories(fx.apps());
                      fixture::BundleSpec old = M::orbit_bundle(1, "old");
                      fixture::set_info(old, "CFBundleVersion", std::string("1.0"));
                      fixture::make_bundle(fx.apps(), old);
                      fx.publish_release_2();
                    },
                    {},
                    "Neplatné číslo sestavení.",
                    true,
                    false,
                    nothing_run,
                    true},
        RefusalCase{"InstalledCopyWithoutInfoPlist",
                    [](M& fx) {
                      fx.install_old();
                      fs::remove(fx.target() + "/Contents/Info.plist");
                      fx.publish_release_2();
                    },
                    {},
                    "Aplikace nemá platný Info.plist.",
                    true,
                    false,
                    nothing_run,
                    true},
        // The archive.
        RefusalCase{"DownloadOneByteShort",
                    [](M& fx) {
                      old_and_release(fx);
                      fs::resize_file(fx.archive_file(), fs::file_size(fx.archive_file()) - 1);
                    },
                    {},
                    "Velikost staženého balíčku nesouhlasí.",
                    true,
                    true,
                    nothing_run,
                    true},
        RefusalCase{"DownloadOneByteLong",
                    [](M& fx) {
                      old_and_release(fx);
                      std::ofstream(fx.archive_file(), std::ios::app | std::ios::binary) << 'x';
                    },
                    {},
                    "Stažený soubor překročil povolenou velikost nebo byl přerušen.",
                    true,
                    true,
                    nothing_run,
                    true},
        RefusalCase{"ArchiveNotPublished",
                    [](M& fx) {
                      old_and_release(fx);
                      fs::remove(fx.archive_file());
                    },
                    {},
                    "Stažení vydání se nepodařilo: server archiv nenašel (HTTP 404).",
                    true,
                    true,
                    nothing_run,
                    true},
        RefusalCase{"ArchiveChangedAfterSigning",
                    [](M& fx) {
                      old_and_release(fx);
                      std::string bytes = fixture::read_file(fx.archive_file());
                      bytes[bytes.size() / 2] ^= 1;
                      fixture::write_file(fx.archive_file(), bytes);
                    },
                    {},
                    "Podpis vydavatele nesouhlasí. Instalace byla zastavena.",
                    true,
                    true,
                    nothing_run,
                    true},
        RefusalCase{"SignedArchiveThatIsNoZip",
                    [](M& fx) {
                      fx.install_old();
                      fx.publish(fixture::to_bytes("not a zip archive"), 2);
                    },
                    {},
                    "Balíček nelze rozbalit.",
                    true,
                    true,
                    nothing_run,
                    true},
        // The new bundle.
        RefusalCase{"BundleOfAnotherNameInTheArchive",
                    [](M& fx) {
                      fx.install_old();
                      fixture::BundleSpec spec = M::orbit_bundle(2, "new");
                      spec.bundle_name = "Orbit.app";
                      fx.publish_bundle(spec, 2);
                    },
                    {},
                    "No such file or directory (os error 2)",
                    true,
                    true,
                    nothing_run,
                    true},
        RefusalCase{"IntegerTypedBuildInTheNewBundle",
                    [](M& fx) {
                      fx.install_old();
                      fixture::BundleSpec spec = M::orbit_bundle(2, "new");
                      fixture::set_info(spec, "CFBundleVersion", std::int64_t{2});
                      fx.publish_bundle(spec, 2);
                    },
                    {},
                    "Chybí číslo sestavení.",
                    true,
                    true,
                    nothing_run,
                    true},
        RefusalCase{"NewBundleOfAnotherBuild",
                    [](M& fx) {
                      fx.install_old();
                      fx.publish_bundle(M::orbit_bundle(3, "new"), 2);
                    },
                    {},
                    "Stažená aplikace neodpovídá podepsané verzi.",
                    true,
                    true,
                    nothing_run,
                    true},
        RefusalCase{"NewBundleOfAnotherIdentifier",
                    [](M& fx) {
                      fx.install_old();
                      fixture::BundleSpec spec = M::orbit_bundle(2, "new");
                      fixture::set_info(spec, "CFBundleIdentifier",
                                        std::string("cz.tobranix.pane-keeper"));
                      fx.publish_bundle(spec, 2);
                    },
                    {},
                    "Stažená aplikace neodpovídá podepsané verzi.",
                    true,
                    true,
                    nothing_run,
                    true},
        RefusalCase{"CodesignRefuses",
                    [](M& fx) {
                      old_and_release(fx);
                      ::setenv("KELVOMA_CODESIGN_STATUS", "1", 1);
                    },
                    {},
                    "Podpis aplikace nebo identita vydavatele nesouhlasí.",
                    true,
                    true,
                    codesign_only,
                    true},
        RefusalCase{"SpctlRefuses",
                    [](M& fx) {
                      old_and_release(fx);
                      ::setenv("KELVOMA_SPCTL_STATUS", "1", 1);
                    },
                    {},
                    "macOS nepotvrdil notarizaci stažené aplikace.",
                    true,
                    true,
                    both_run,
                    true},
        // The disk next to the target.
        RefusalCase{"ApplicationsIsAFile",
                    [](M& fx) {
                      fixture::write_file(fx.apps(), "not a folder");
                      fx.publish_release_2();
                    },
                    {},
                    "File exists (os error 17)",
                    true,
                    true,
                    nothing_run,
                    false}),
    [](const auto& test) { return test.param.name; });

TEST_F(InstallTest, UnknownIds) {
  publish_release_2();
  const std::string not_utf8 = "orbit-action-dial\xff";
  for (const char* id : {"nope", "", static_cast<const char*>(nullptr), not_utf8.c_str(),
                         "Orbit-action-dial", "orbit-action-dial "}) {
    EXPECT_EQ(install_document(id, target_.c_str()), failure("Neznámý nástroj."));
  }
  EXPECT_TRUE(server_.requests().empty());
  EXPECT_EQ(probe().calls, 0);
}

TEST_F(InstallTest, ReleaseCheckMessagesComeFirst) {
  install_old();
  // No manifest published yet.
  EXPECT_EQ(install_document(orbit_id, "/nowhere/else.app"),
            failure("Zatím není zveřejněné dostupné vydání."));
  publish_release_2();
  EXPECT_EQ(install_document(orbit_id, target_.c_str(), "12.6.0"),
            failure("Vyžaduje macOS 13.0 nebo novější."));
  EXPECT_EQ(install_document(orbit_id, target_.c_str(), nullptr), failure("Neplatná verze macOS."));
  EXPECT_FALSE(archive_requested());
  EXPECT_EQ(marker_of(target_), "old");
}

TEST_F(InstallTest, HomeUnsetEvenForSystemApplications) {
  publish_release_2();
  const ScopedEnv no_home("HOME", std::nullopt);
  EXPECT_EQ(install_document(orbit_id, "/Applications/Orbit Action Dial.app"),
            failure("Chybí domovský adresář."));
  EXPECT_TRUE(manifest_requested());
  EXPECT_FALSE(archive_requested());
}

TEST_F(InstallTest, HomeThatIsNoAbsolutePathCountsAsUnset) {
  publish_release_2();
  for (const char* home : {"", "relative/home"}) {
    const ScopedEnv odd_home("HOME", home);
    const std::string target = std::string(home) + "/Applications/Orbit Action Dial.app";
    EXPECT_EQ(install_document(orbit_id, target.c_str()), failure("Chybí domovský adresář."));
  }
  EXPECT_FALSE(archive_requested());
}

TEST_F(InstallTest, DanglingLinkCountsAsAbsentAndIsLeftAlone) {
  publish_release_2();
  fs::create_directories(apps_);
  fs::create_symlink(home_.file("gone.app"), target_);
  EXPECT_EQ(install_document(orbit_id, target_.c_str()),
            failure("Instalace selhala, původní aplikace zůstala zachovaná: Not a directory (os "
                    "error 20)"));
  EXPECT_TRUE(archive_requested());
  EXPECT_EQ(probe().calls, 1);
  EXPECT_EQ(fs::read_symlink(target_), home_.file("gone.app"));
}

TEST_F(InstallTest, BinaryInfoPlistInTheNewBundle) {
  install_old();
  fixture::BundleSpec spec = orbit_bundle(2, "new");
  spec.format = fixture::PlistFormat::binary;
  publish_bundle(spec, 2);
  EXPECT_EQ(install_document(orbit_id, target_.c_str()), success);
  EXPECT_TRUE(testing::read_file(target_ + "/Contents/Info.plist").starts_with("bplist00"));
}

class HostileReleaseTest : public InstallTest,
                           public ::testing::WithParamInterface<fixture::HostileEntry> {};

TEST_P(HostileReleaseTest, SignedHostileArchiveIsRefusedAndNothingLandsOutside) {
  install_old();
  const std::string source = sources_.file("hostile");
  fs::create_directories(source);
  fixture::make_bundle(source, orbit_bundle(2, "new"));
  const std::string outside = home_.file("outside/evil.txt");
  fs::create_directories(home_.file("outside"));
  publish(
      fixture::hostile_zip(source, "Orbit Action Dial.app", GetParam(), outside, source + ".zip"),
      2);
  EXPECT_EQ(install_document(orbit_id, target_.c_str()), failure("Balíček nelze rozbalit."));
  EXPECT_FALSE(fs::exists(outside));
  EXPECT_EQ(install_testing::tree(home_.file("outside")), std::vector<std::string>{});
  EXPECT_EQ(marker_of(target_), "old");
  EXPECT_EQ(probe().calls, 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, HostileReleaseTest,
                         ::testing::Values(fixture::HostileEntry::parent_directory,
                                           fixture::HostileEntry::absolute_path,
                                           fixture::HostileEntry::symlink_write,
                                           fixture::HostileEntry::unicode_path));

// --- the archive check comes first, whatever the disk holds -------------------

void tamper(const std::string& archive) {
  std::string bytes = fixture::read_file(archive);
  bytes[bytes.size() / 2] ^= 1;
  fixture::write_file(archive, bytes);
}

const std::string tampered = "Podpis vydavatele nesouhlasí. Instalace byla zastavena.";

TEST_F(InstallTest, FailedCheckOfAFirstInstallationCreatesNoFolder) {
  publish_release_2();
  tamper(archive_file_);
  EXPECT_EQ(install_document(orbit_id, target_.c_str()), failure(tampered));
  EXPECT_FALSE(fs::exists(apps_));
}

TEST_F(InstallTest, FailedCheckBeatsAnApplicationsFolderThatIsAFile) {
  fixture::write_file(apps_, "not a folder");
  publish_release_2();
  tamper(archive_file_);
  EXPECT_EQ(install_document(orbit_id, target_.c_str()), failure(tampered));
  EXPECT_EQ(testing::read_file(apps_), "not a folder");
}

TEST_F(InstallTest, FailedCheckBeatsAnUnwritableApplicationsFolder) {
  fs::create_directories(apps_);
  const ScopedMount read_only(apps_, "mode=0755", MS_RDONLY);
  if (!read_only.mounted()) GTEST_SKIP() << "mounting is not permitted here";
  publish_release_2();
  tamper(archive_file_);
  EXPECT_EQ(install_document(orbit_id, target_.c_str()), failure(tampered));
}

// Where the Applications folder exists, the archive is written while it
// downloads, and a full disk shows up before the check has decided: the
// check's verdict (size, then signature) is still the one reported.
TEST_F(InstallTest, FailedCheckBeatsAFullDisk) {
  const struct {
    const char* why;
    std::function<void(const std::string&)> spoil;
    std::string message;
  } cases[] = {
      {"tampered", tamper, tampered},
      {"one byte short",
       [](const std::string& archive) { fs::resize_file(archive, fs::file_size(archive) - 1); },
       "Velikost staženého balíčku nesouhlasí."},
      {"intact", [](const std::string&) {}, "No space left on device (os error 28)"},
  };
  fs::create_directories(apps_);
  const ScopedMount small(apps_, "size=64k,mode=0755");
  if (!small.mounted()) GTEST_SKIP() << "mounting is not permitted here";
  fixture::BundleSpec spec = orbit_bundle(2, "new");
  spec.payload_size = 256 * 1024;
  for (const auto& c : cases) {
    publish_bundle(spec, 2);
    c.spoil(archive_file_);
    EXPECT_EQ(install_document(orbit_id, target_.c_str()), failure(c.message)) << c.why;
    EXPECT_EQ(install_directories(apps_), std::vector<fs::path>{}) << c.why;
  }
  EXPECT_EQ(probe().calls, 0);
}

// The archive that is unpacked is the one downloaded, byte for byte, whether
// the folder existed or was made for it; it is gone again before the new
// bundle is flushed to disk, so its bytes are never written out.
TEST_F(InstallTest, WrittenArchiveIsTheDownloadedOne) {
  const std::string copy = sources_.file("archive-seen-by-codesign");
  const ScopedEnv copy_archive("KELVOMA_STUB_COPY_ARCHIVE", copy);
  for (const bool folder_exists : {true, false}) {
    fs::remove_all(apps_);
    fs::remove(copy);
    if (folder_exists) fs::create_directories(apps_);
    publish_release_2();
    std::vector<std::string> at_stop;
    probe().action = [&] {
      const auto directories = install_directories(apps_);
      ASSERT_EQ(directories.size(), 1u);
      at_stop = install_testing::tree(directories.front());
    };
    EXPECT_EQ(install_document(orbit_id, target_.c_str()), success) << folder_exists;
    EXPECT_TRUE(fixture::read_file(copy) == fixture::read_file(archive_file_)) << folder_exists;
    ASSERT_FALSE(at_stop.empty());
    EXPECT_EQ(std::count(at_stop.begin(), at_stop.end(), "update.zip"), 0) << folder_exists;
    // The machine's record, then the unpacked bundle: nothing else.
    ASSERT_GE(at_stop.size(), 2u);
    EXPECT_EQ(at_stop[0], "machine") << folder_exists;
    EXPECT_EQ(at_stop[1], "unpacked") << folder_exists;
  }
}

TEST_F(InstallTest, ExternalFailedDigestLeavesNothing) {
  const auto archive = zip_bundle(clip_bundle());
  for (const bool folder_exists : {false, true}) {
    if (folder_exists) fs::create_directories(apps_);
    publish_external(archive, "v1.2", "sha256:" + std::string(64, 'a'));
    EXPECT_EQ(install_external(clip_target_),
              failure("Kontrolní součet nebo velikost staženého balíčku nesouhlasí."));
    EXPECT_EQ(fs::exists(apps_), folder_exists);
  }
}

// --- faults of the disk, made real with mounts -----------------------------

TEST_F(InstallTest, ApplicationsFolderNotWritable) {
  fs::create_directories(apps_);
  const ScopedMount read_only(apps_, "mode=0755", MS_RDONLY);
  if (!read_only.mounted()) GTEST_SKIP() << "mounting is not permitted here";
  publish_release_2();
  EXPECT_EQ(install_document(orbit_id, target_.c_str()),
            failure("Do složky Applications nelze zapisovat. Použij aplikaci v ~/Applications."));
  EXPECT_EQ(probe().calls, 0);
}

TEST_F(InstallTest, ArchiveCannotBeWritten) {
  fs::create_directories(apps_);
  const ScopedMount small(apps_, "size=64k,mode=0755");
  if (!small.mounted()) GTEST_SKIP() << "mounting is not permitted here";
  fixture::BundleSpec spec = orbit_bundle(2, "new");
  spec.payload_size = 256 * 1024;
  publish_bundle(spec, 2);
  EXPECT_EQ(install_document(orbit_id, target_.c_str()),
            failure("No space left on device (os error 28)"));
  EXPECT_EQ(probe().calls, 0);
}

TEST_F(InstallTest, InstalledCopyThatIsAMountPointCannotBeMovedAside) {
  install_old();
  const std::string mounted_copy = target_;
  const ScopedMount busy(mounted_copy, "mode=0755");
  if (!busy.mounted()) GTEST_SKIP() << "mounting is not permitted here";
  fixture::BundleSpec old = orbit_bundle(1, "old");
  old.bundle_name = ".";
  fixture::make_bundle(target_, old);
  publish_release_2();
  probe().result = 1;
  EXPECT_EQ(
      install_document(orbit_id, target_.c_str()),
      failure("Původní aplikaci nelze připravit: Device or resource busy (os error 16)", true));
  EXPECT_EQ(marker_of(target_), "old");
}

// --- replacement faults through the seam -----------------------------------

// The system's renames, except that call number N fails with the given errno.
class FailingRenames final : public RenameOperations {
 public:
  explicit FailingRenames(std::vector<std::pair<int, int>> failures)
      : failures_(std::move(failures)) {}
  int rename(const std::string& from, const std::string& to) const override {
    if (const int error = next()) return error;
    return system_rename_operations().rename(from, to);
  }
  int rename_exclusive(const std::string& from, const std::string& to) const override {
    if (const int error = next()) return error;
    return system_rename_operations().rename_exclusive(from, to);
  }

 private:
  int next() const {
    ++calls_;
    for (const auto& [call, error] : failures_) {
      if (call == calls_) return error;
    }
    return 0;
  }
  std::vector<std::pair<int, int>> failures_;
  mutable int calls_ = 0;
};

std::string install_with(const FailingRenames& renames, const std::string& target) {
  const InstallOutcome outcome =
      install_tool(build_config(), arguments_for(orbit_id, target), renames);
  nlohmann::json document = {{"ok", !outcome.error}, {"relaunch", outcome.relaunch}};
  if (outcome.error) document["error"] = *outcome.error;
  return document.dump();
}

TEST_F(InstallTest, SeamInstalledCopyCannotBeMovedAside) {
  install_old();
  publish_release_2();
  probe().result = 1;
  EXPECT_EQ(
      install_with(FailingRenames({{1, EBUSY}}), target_),
      failure("Původní aplikaci nelze připravit: Device or resource busy (os error 16)", true));
  EXPECT_EQ(marker_of(target_), "old");
}

TEST_F(InstallTest, SeamNewBundleCannotMoveInAndIsRestored) {
  install_old();
  publish_release_2();
  EXPECT_EQ(install_with(FailingRenames({{2, EXDEV}}), target_),
            failure("Instalace selhala, původní aplikace zůstala zachovaná: Invalid cross-device "
                    "link (os error 18)"));
  EXPECT_EQ(marker_of(target_), "old");
}

TEST_F(InstallTest, SeamFirstInstallationMoveFails) {
  publish_release_2();
  EXPECT_EQ(install_with(FailingRenames({{1, EACCES}}), target_),
            failure("Instalace selhala, původní aplikace zůstala zachovaná: Permission denied (os "
                    "error 13)"));
  EXPECT_FALSE(fs::exists(target_));
}

TEST_F(InstallTest, SeamRestoreFailsAndTheBackupStays) {
  install_old();
  publish_release_2();
  probe().result = 1;
  const std::string document = install_with(FailingRenames({{2, EXDEV}, {3, EACCES}}), target_);
  const auto kept = install_directories(apps_);
  ASSERT_EQ(kept.size(), 1u);
  const std::string backup = kept.front().string() + "/previous.app";
  EXPECT_EQ(document, failure("Instalace selhala: Invalid cross-device link (os error 18). "
                              "Obnovení selhalo: Permission denied (os error 13). Původní "
                              "aplikace je v " +
                                  backup + ".",
                              true));
  EXPECT_FALSE(fs::exists(target_));
  EXPECT_EQ(marker_of(backup), "old");
  fs::remove_all(kept.front());
}

// --- a crash between the renames ---------------------------------------------

// Renames that kill their own process with SIGKILL just before call number
// `crash_before` or just after call number `crash_after`: a power cut in the
// middle of the final step, at the worst moments.
class CrashingRenames final : public RenameOperations {
 public:
  CrashingRenames(int crash_before, int crash_after)
      : crash_before_(crash_before), crash_after_(crash_after) {}
  int rename(const std::string& from, const std::string& to) const override {
    if (++calls_ == crash_before_) ::kill(::getpid(), SIGKILL);
    const int result = system_rename_operations().rename(from, to);
    if (calls_ == crash_after_) ::kill(::getpid(), SIGKILL);
    return result;
  }
  int rename_exclusive(const std::string& from, const std::string& to) const override {
    return system_rename_operations().rename_exclusive(from, to);
  }

 private:
  int crash_before_;
  int crash_after_;
  mutable int calls_ = 0;
};

struct CrashCase {
  std::string name;
  int crash_before;
  int crash_after;
  std::optional<std::string> target_marker;  // nothing: the target is empty
  bool backup_left;
};

void PrintTo(const CrashCase& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class CrashTest : public InstallTest, public ::testing::WithParamInterface<CrashCase> {};

TEST_P(CrashTest, TheOldCopySurvivesSomewhere) {
  install_old();
  publish_release_2();
  const CrashCase& c = GetParam();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const CrashingRenames renames(c.crash_before, c.crash_after);
    install_tool(build_config(), arguments_for(orbit_id, target_), renames);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  if (c.target_marker) {
    EXPECT_EQ(marker_of(target_), *c.target_marker);
  } else {
    EXPECT_FALSE(fs::exists(target_));
  }
  const auto left = install_directories(apps_);
  ASSERT_EQ(left.size(), 1u);  // nobody was there to remove it
  EXPECT_EQ(fs::exists(left.front() / "previous.app"), c.backup_left);
  if (c.backup_left) {
    EXPECT_EQ(marker_of((left.front() / "previous.app").string()), "old");
  }
  fs::remove_all(left.front());
}

INSTANTIATE_TEST_SUITE_P(Moments, CrashTest,
                         ::testing::Values(CrashCase{"BeforeMovingAside", 1, 0, "old", false},
                                           CrashCase{"BetweenTheRenames", 2, 0, {}, true},
                                           CrashCase{"AfterMovingIn", 0, 2, "new", true}),
                         [](const auto& test) { return test.param.name; });

// --- the archive has no name on disk before its verdict ----------------------

// Nothing called update.zip anywhere below `root`.
bool archive_named_below(const fs::path& root) {
  for (const std::string& entry : install_testing::tree(root)) {
    if (fs::path(entry).filename() == "update.zip") return true;
  }
  return false;
}

struct RefusedArchiveCase {
  std::string name;
  bool applications_exists;
};

class RefusedArchiveTest : public InstallTest,
                           public ::testing::WithParamInterface<RefusedArchiveCase> {};

TEST_P(RefusedArchiveTest, LeavesNoArchiveAndNoFolderAnywhere) {
  if (GetParam().applications_exists) install_old();
  publish_release_2();
  tamper(archive_file_);
  const auto before = install_testing::tree(home_.path());
  EXPECT_EQ(install_document(orbit_id, target_.c_str()), failure(tampered));
  EXPECT_FALSE(archive_named_below(home_.path()));
  EXPECT_EQ(install_testing::tree(home_.path()), before);
}

INSTANTIATE_TEST_SUITE_P(Folders, RefusedArchiveTest,
                         ::testing::Values(RefusedArchiveCase{.name = "ApplicationsExists",
                                                              .applications_exists = true},
                                           RefusedArchiveCase{.name = "ApplicationsMissing",
                                                              .applications_exists = false}),
                         [](const auto& test) { return test.param.name; });

// A transfer tool that hands the archive over in two parts and waits, after
// the first, until the test lets it go on; everything else goes straight to
// the real curl.
class StallingTransferTool {
 public:
  StallingTransferTool() {
    const std::string script =
        dir_.write("curl",
                   "#!/bin/sh\n"
                   "dir=$(dirname \"$0\")\n"
                   "for url; do :; done\n"
                   "case \"$url\" in\n"
                   "  *.zip) /usr/bin/curl \"$@\" > \"$dir/archive\" || exit $?\n"
                   "         head -c 1000 \"$dir/archive\"\n"
                   "         : > \"$dir/stalled\"\n"
                   "         while [ ! -e \"$dir/go\" ]; do sleep 0.02; done\n"
                   "         tail -c +1001 \"$dir/archive\" ;;\n"
                   "  *) exec /usr/bin/curl \"$@\" ;;\n"
                   "esac\n");
    fs::permissions(script, fs::perms(0755));
    config_ = build_config();
    config_.curl = script;
  }
  ~StallingTransferTool() { go_on(); }

  const CoreConfig& config() const { return config_; }
  // Waits (a minute at most) until the first part has been handed over.
  bool wait_for_stall() const {
    for (int i = 0; i < 3000 && !fs::exists(dir_.file("stalled")); ++i) ::usleep(20000);
    return fs::exists(dir_.file("stalled"));
  }
  void go_on() const { dir_.write("go", ""); }

 private:
  testing::TempDir dir_;
  CoreConfig config_;
};

// The descriptors of this process that are unnamed files in `folder`.
int unnamed_files_in(const std::string& folder) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const std::string link = fs::read_symlink(entry.path(), error).string();
    if (link.starts_with(folder + "/#") && link.ends_with(" (deleted)")) ++count;
  }
  return count;
}

// Where the Applications folder is when the download starts.
enum class Applications { existing, missing, out_of_inodes };
// Where the archive waits for its verdict.
enum class Unnamed { in_applications, in_home, in_memory };

struct StalledDownloadCase {
  std::string name;
  Applications applications;
  Unnamed unnamed;
};

void PrintTo(const StalledDownloadCase& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class StalledDownloadTest : public InstallTest,
                            public ::testing::WithParamInterface<StalledDownloadCase> {
 protected:
  // A file system without a free inode can give no unnamed file (nor
  // anything else) until the fillers go.
  std::vector<std::string> fill_inodes() {
    std::vector<std::string> fillers;
    for (int i = 0; i < 100000; ++i) {
      const std::string filler = apps_ + "/filler-" + std::to_string(i);
      const UniqueFd file(::open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
      if (!file) break;
      fillers.push_back(filler);
    }
    return fillers;
  }
};

TEST_P(StalledDownloadTest, ArchiveIsUnnamedUntilItsVerdict) {
  const StalledDownloadCase& c = GetParam();
  if (c.applications != Applications::missing) fs::create_directories(apps_);
  std::optional<ScopedMount> small;
  std::vector<std::string> fillers;
  if (c.applications == Applications::out_of_inodes) {
    small.emplace(apps_, "size=16m,nr_inodes=64,mode=0755");
    if (!small->mounted()) GTEST_SKIP() << "mounting is not permitted here";
    fillers = fill_inodes();
  }
  publish_release_2();
  const std::string copy = sources_.file("archive-seen-by-codesign");
  const ScopedEnv copy_archive("KELVOMA_STUB_COPY_ARCHIVE", copy);
  const StallingTransferTool transfer;
  InstallOutcome outcome;
  std::thread installation(
      [&] { outcome = install_tool(transfer.config(), arguments_for(orbit_id, target_)); });
  const bool stalled = transfer.wait_for_stall();
  const auto home_during = install_testing::tree(home_.path());
  const int unnamed_in_applications = unnamed_files_in(apps_);
  const int unnamed_in_home = unnamed_files_in(home_.path());
  for (const std::string& filler : fillers) fs::remove(filler);
  transfer.go_on();
  installation.join();
  ASSERT_TRUE(stalled);
  for (const std::string& entry : home_during) {
    EXPECT_FALSE(entry.find(".kelvoma-install-") != std::string::npos) << entry;
    EXPECT_FALSE(entry.ends_with("update.zip")) << entry;
  }
  EXPECT_EQ(unnamed_in_applications, c.unnamed == Unnamed::in_applications ? 1 : 0);
  EXPECT_EQ(unnamed_in_home, c.unnamed == Unnamed::in_home ? 1 : 0);
  EXPECT_FALSE(outcome.error) << *outcome.error;
  EXPECT_EQ(marker_of(target_), "new");
  EXPECT_TRUE(fixture::read_file(copy) == fixture::read_file(archive_file_));
  EXPECT_FALSE(archive_named_below(home_.path()));
}

INSTANTIATE_TEST_SUITE_P(
    Folders, StalledDownloadTest,
    ::testing::Values(StalledDownloadCase{.name = "ApplicationsExists",
                                          .applications = Applications::existing,
                                          .unnamed = Unnamed::in_applications},
                      StalledDownloadCase{.name = "ApplicationsMissing",
                                          .applications = Applications::missing,
                                          .unnamed = Unnamed::in_home},
                      StalledDownloadCase{.name = "NoUnnamedFileCanBeHad",
                                          .applications = Applications::out_of_inodes,
                                          .unnamed = Unnamed::in_memory}),
    [](const auto& test) { return test.param.name; });

// --- what crashed installations left beside the target -----------------------

// Another process that takes `flock -n -x` for 1 s on each new
// ".kelvoma-install-" folder in `folder` before the first opening of it
// completes (a fanotify permission event): its creator finds it locked.
class NewFolderLocker {
 public:
  explicit NewFolderLocker(const std::string& folder) {
    const UniqueFd events(::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY));
    EXPECT_EQ(
        ::fanotify_mark(events.get(), FAN_MARK_ADD, FAN_OPEN_PERM | FAN_EVENT_ON_CHILD | FAN_ONDIR,
                        AT_FDCWD, folder.c_str()),
        0);
    child_ = ::fork();
    for (std::set<std::string> seen; child_ == 0;) {
      fanotify_event_metadata event{};
      if (::read(events.get(), &event, sizeof event) != sizeof event) continue;
      std::error_code error;
      const std::string name =
          fs::read_symlink("/proc/self/fd/" + std::to_string(event.fd), error).filename();
      if (name.starts_with(".kelvoma-install-") && seen.insert(name).second &&
          ::flock(event.fd, LOCK_EX | LOCK_NB) == 0 && ::fork() == 0) {
        ::sleep(1);  // the lock goes with this process
        ::_exit(0);
      }
      const fanotify_response allow{.fd = event.fd, .response = FAN_ALLOW};
      (void)!::write(events.get(), &allow, sizeof allow);
      ::close(event.fd);
    }
  }
  ~NewFolderLocker() {
    ::kill(child_, SIGKILL);
    ::waitpid(child_, nullptr, 0);
  }

 private:
  pid_t child_ = -1;
};

enum class Leftover { folder, folder_in_use, symbolic_link, file };

struct RecoveryCase {
  std::string name;
  Leftover leftover;
  std::optional<std::string> backup_identifier;  // "previous.app" inside carries it; none: absent
  bool target_installed;
  bool leftover_remains;
  std::optional<std::string> target_marker;  // what the target holds afterwards; none: nothing
  // Puts more in place (target, folder); the installation then says `message`.
  std::function<void(const std::string&, const std::string&)> arrange = {};
  std::optional<std::string> message = tampered;  // none: the release is intact and installed
  // Another process locks the installation's folder as it is created; while
  // the tool is asked to stop, the recovery of another tool runs beside it.
  bool lock_held_elsewhere = false;
  // The folder's record of the machine that made it: host, boot id.
  std::optional<std::pair<std::string, std::string>> made_on = std::nullopt;
};

std::string this_host() {
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  return host;
}

std::string this_boot() {
  const std::string boot = testing::read_file("/proc/sys/kernel/random/boot_id");
  return boot.substr(0, boot.find('\n'));
}

void PrintTo(const RecoveryCase& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class RecoveryTest : public InstallTest, public ::testing::WithParamInterface<RecoveryCase> {
 protected:
  // A leftover beside the target; for a symbolic link, the folder it points to.
  std::string make_leftover(const RecoveryCase& c, const std::string& leftover) {
    const std::string folder =
        c.leftover == Leftover::symbolic_link ? home_.file("elsewhere") : leftover;
    if (c.leftover == Leftover::file) {
      fixture::write_file(leftover, "not a folder");
      return leftover;
    }
    fs::create_directories(folder + "/unpacked/Orbit Action Dial.app/Contents");
    fixture::write_file(folder + "/unpacked/Orbit Action Dial.app/Contents/partial", "x");
    fs::create_symlink(home_.file("outside"), folder + "/link-out");
    if (c.backup_identifier) {
      fixture::BundleSpec backup = orbit_bundle(1, "backup");
      backup.bundle_name = "previous.app";
      fixture::set_info(backup, "CFBundleIdentifier", *c.backup_identifier);
      fixture::make_bundle(folder, backup);
    }
    if (c.made_on) {
      fixture::write_file(folder + "/machine", c.made_on->first + "\n" + c.made_on->second + "\n");
    }
    if (c.leftover == Leftover::symbolic_link) fs::create_directory_symlink(folder, leftover);
    return folder;
  }
};

TEST_P(RecoveryTest, PutsBackOrClearsAwayBeforeDownloading) {
  const RecoveryCase& c = GetParam();
  fs::create_directories(apps_);
  fs::create_directories(home_.file("outside"));
  fixture::write_file(home_.file("outside/kept.txt"), "kept");
  if (c.target_installed) install_old();
  fixture::make_bundle(apps_, clip_bundle());  // a bystander
  const std::string leftover = apps_ + "/.kelvoma-install-Ab12Cd";
  const std::string contents = make_leftover(c, leftover);
  const auto contents_before = install_testing::tree(contents);
  UniqueFd holder;
  if (c.leftover == Leftover::folder_in_use) {
    holder = UniqueFd(::open(leftover.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_EQ(::flock(holder.get(), LOCK_EX), 0);
  }
  if (c.arrange) c.arrange(target_, contents);
  publish_release_2();
  if (c.message) tamper(archive_file_);  // the installation itself fails after the recovery
  std::optional<NewFolderLocker> locker;
  if (c.lock_held_elsewhere) {
    locker.emplace(apps_);
    probe().action = [] {
      std::this_thread::sleep_for(std::chrono::seconds(2));  // the other lock is gone by then
      mini_free(mini_recover(clip_id));
    };
  }

  EXPECT_EQ(install_document(orbit_id, target_.c_str()), c.message ? failure(*c.message) : success);
  EXPECT_EQ(fs::exists(fs::symlink_status(leftover)), c.leftover_remains);
  if (c.leftover_remains) {
    EXPECT_EQ(install_testing::tree(contents), contents_before);
  }
  if (c.target_marker) {
    EXPECT_EQ(marker_of(target_), *c.target_marker);
  } else {
    EXPECT_FALSE(fs::exists(fs::symlink_status(target_)));
  }
  EXPECT_EQ(marker_of(clip_target_), "clip");
  EXPECT_EQ(testing::read_file(home_.file("outside/kept.txt")), "kept");
  keeps_install_directory_ = c.leftover_remains;
  fs::remove_all(leftover);
}

const std::string orbit_bundle_id = "cz.tobranix.orbit-action-dial";

// Links that stay within the target are not followed either: the target's
// Contents a link to the tool's Contents in a folder inside it, or its
// Info.plist a link to a file beside it.
void link_contents_beside(const std::string& target, const std::string&) {
  fixture::BundleSpec inner = fixture::tool_bundle("orbit-action-dial", 1);
  inner.marker = "inner";
  inner.bundle_name = "inner";
  fs::create_directory(target);
  fixture::make_bundle(target, inner);
  fs::create_directory_symlink("inner/Contents", target + "/Contents");
}

void link_info_plist_beside(const std::string& target, const std::string&) {
  fs::rename(target + "/Contents/Info.plist", target + "/Contents/Info-real.plist");
  fs::create_symlink("Info-real.plist", target + "/Contents/Info.plist");
}

// Where the machine's record should be: a FIFO nobody writes to, or a link
// to another machine's record.
void fifo_as_record(const std::string&, const std::string& folder) {
  ASSERT_EQ(::mkfifo((folder + "/machine").c_str(), 0600), 0);
}

void link_as_record(const std::string&, const std::string& folder) {
  fixture::write_file(folder + "/../elsewhere-machine", "elsewhere.example\nb00t\n");
  fs::create_symlink("../elsewhere-machine", folder + "/machine");
}

INSTANTIATE_TEST_SUITE_P(
    Leftovers, RecoveryTest,
    ::testing::Values(RecoveryCase{.name = "BackupOfTheToolComesBack",
                                   .leftover = Leftover::folder,
                                   .backup_identifier = orbit_bundle_id,
                                   .target_installed = false,
                                   .leftover_remains = false,
                                   .target_marker = "backup"},
                      RecoveryCase{.name = "BackupOfAnotherApplicationIsKept",
                                   .leftover = Leftover::folder,
                                   .backup_identifier = "cz.example.other",
                                   .target_installed = false,
                                   .leftover_remains = true,
                                   .target_marker = std::nullopt},
                      RecoveryCase{.name = "FolderWithoutBackupIsRemoved",
                                   .leftover = Leftover::folder,
                                   .backup_identifier = std::nullopt,
                                   .target_installed = false,
                                   .leftover_remains = false,
                                   .target_marker = std::nullopt},
                      RecoveryCase{.name = "TargetPresentRemovesTheFolder",
                                   .leftover = Leftover::folder,
                                   .backup_identifier = orbit_bundle_id,
                                   .target_installed = true,
                                   .leftover_remains = false,
                                   .target_marker = "old"},
                      RecoveryCase{.name = "FolderInUseIsLeftAlone",
                                   .leftover = Leftover::folder_in_use,
                                   .backup_identifier = orbit_bundle_id,
                                   .target_installed = false,
                                   .leftover_remains = true,
                                   .target_marker = std::nullopt},
                      RecoveryCase{.name = "SymbolicLinkIsLeftAlone",
                                   .leftover = Leftover::symbolic_link,
                                   .backup_identifier = orbit_bundle_id,
                                   .target_installed = false,
                                   .leftover_remains = true,
                                   .target_marker = std::nullopt},
                      RecoveryCase{.name = "FileIsLeftAlone",
                                   .leftover = Leftover::file,
                                   .backup_identifier = std::nullopt,
                                   .target_installed = false,
                                   .leftover_remains = true,
                                   .target_marker = std::nullopt},
                      RecoveryCase{.name = "LinkAtTheTargetKeepsTheBackup",
                                   .leftover = Leftover::folder,
                                   .backup_identifier = orbit_bundle_id,
                                   .target_installed = false,
                                   .leftover_remains = true,
                                   .target_marker = "backup",
                                   .arrange =
                                       [](const std::string& target, const std::string& folder) {
                                         fs::create_symlink(folder + "/previous.app", target);
                                       },
                                   .message = "Cílová aplikace je symbolický odkaz."},
                      RecoveryCase{.name = "OccupiedTargetKeepsTheBackup",
                                   .leftover = Leftover::folder,
                                   .backup_identifier = orbit_bundle_id,
                                   .target_installed = false,
                                   .leftover_remains = true,
                                   .target_marker = "other",
                                   .arrange =
                                       [](const std::string& target, const std::string&) {
                                         fixture::BundleSpec other =
                                             fixture::tool_bundle("clip-ledger", 1);
                                         other.marker = "other";
                                         other.bundle_name = fs::path(target).filename();
                                         fixture::make_bundle(fs::path(target).parent_path(),
                                                              other);
                                       },
                                   .message = "Cílové umístění patří jiné aplikaci."},
                      RecoveryCase{.name = "HalfRemovedBackupIsRemoved",
                                   .leftover = Leftover::folder,
                                   .backup_identifier = std::nullopt,
                                   .target_installed = true,
                                   .leftover_remains = false,
                                   .target_marker = "old",
                                   .arrange =
                                       [](const std::string&, const std::string& folder) {
                                         fs::create_directories(folder + "/discarded.app/Contents");
                                       }},
                      RecoveryCase{.name = "ContentsLinkedIntoTheBackupKeepsIt",
                                   .leftover = Leftover::folder,
                                   .backup_identifier = orbit_bundle_id,
                                   .target_installed = false,
                                   .leftover_remains = true,
                                   .target_marker = "backup",
                                   .arrange =
                                       [](const std::string& target, const std::string& folder) {
                                         fs::create_directory(target);
                                         fs::create_directory_symlink(
                                             folder + "/previous.app/Contents",
                                             target + "/Contents");
                                       }},
                      RecoveryCase{.name = "ContentsLinkedBesideItKeepsTheBackup",
                                   .leftover = Leftover::folder,
                                   .backup_identifier = orbit_bundle_id,
                                   .target_installed = false,
                                   .leftover_remains = true,
                                   .target_marker = "inner",
                                   .arrange = link_contents_beside},
                      RecoveryCase{.name = "InfoPlistLinkedBesideItKeepsTheBackup",
                                   .leftover = Leftover::folder,
                                   .backup_identifier = orbit_bundle_id,
                                   .target_installed = true,
                                   .leftover_remains = true,
                                   .target_marker = "old",
                                   .arrange = link_info_plist_beside},
                      RecoveryCase{.name = "FolderLockedByAnotherProcessIsWaitedFor",
                                   .leftover = Leftover::folder_in_use,
                                   .backup_identifier = orbit_bundle_id,
                                   .target_installed = true,
                                   .leftover_remains = true,
                                   .target_marker = "new",
                                   .message = std::nullopt,
                                   .lock_held_elsewhere = true},
                      RecoveryCase{.name = "FolderOfAnotherMachineIsLeftAlone",
                                   .leftover = Leftover::folder,
                                   .backup_identifier = orbit_bundle_id,
                                   .target_installed = false,
                                   .leftover_remains = true,
                                   .target_marker = std::nullopt,
                                   .made_on = std::pair{"elsewhere.example", "b00t"}},
                      RecoveryCase{.name = "FolderOfAnEarlierBootHereComesBack",
                                   .leftover = Leftover::folder,
                                   .backup_identifier = orbit_bundle_id,
                                   .target_installed = false,
                                   .leftover_remains = false,
                                   .target_marker = "backup",
                                   .made_on = std::pair{this_host(), "b00t"}},
                      RecoveryCase{.name = "FolderOfThisBootUnderAnEarlierHostNameComesBack",
                                   .leftover = Leftover::folder,
                                   .backup_identifier = orbit_bundle_id,
                                   .target_installed = false,
                                   .leftover_remains = false,
                                   .target_marker = "backup",
                                   .made_on = std::pair{"renamed.example", this_boot()}},
                      RecoveryCase{.name = "RecordThatIsAFifoDoesNotHoldRecoveryUp",
                                   .leftover = Leftover::folder,
                                   .backup_identifier = orbit_bundle_id,
                                   .target_installed = false,
                                   .leftover_remains = false,
                                   .target_marker = "backup",
                                   .arrange = fifo_as_record},
                      RecoveryCase{.name = "RecordLinkedToAnotherMachinesIsNotFollowed",
                                   .leftover = Leftover::folder,
                                   .backup_identifier = orbit_bundle_id,
                                   .target_installed = false,
                                   .leftover_remains = false,
                                   .target_marker = "backup",
                                   .arrange = link_as_record}),
    [](const auto& test) { return test.param.name; });

// A kill between the two renames leaves the old copy only as previous.app;
// the next installation gives it back and then updates it.
TEST_F(InstallTest, NextInstallationAfterACrashBetweenTheRenames) {
  install_old();
  publish_release_2();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const CrashingRenames renames(2, 0);
    install_tool(build_config(), arguments_for(orbit_id, target_), renames);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_FALSE(fs::exists(target_));
  ASSERT_EQ(install_directories(apps_).size(), 1u);
  server_.route(manifest_path, {.drop = true});  // first with the release host unreachable
  EXPECT_NE(install_document(orbit_id, target_.c_str()), success);
  EXPECT_EQ(marker_of(target_), "old");
  EXPECT_TRUE(install_directories(apps_).empty());
  server_.clear_routes();
  probe().action = [&] { EXPECT_EQ(marker_of(target_), "old"); };
  EXPECT_EQ(install_document(orbit_id, target_.c_str()), success);
  EXPECT_EQ(marker_of(target_), "new");
  EXPECT_EQ(probe().calls, 1);
}

// --- the new bundle is on disk before the swap -------------------------------

// The system calls of one installation in a child process, traced by strace
// from before the installation starts: "syncfs(...) = 0" and the like, in
// order, for the child's own thread.
std::vector<std::string> traced_installation(const std::function<void()>& install) {
  const pid_t child = ::fork();
  if (child == 0) {
    for (int i = 0; i < 3000; ++i) {
      const std::string status = testing::read_file("/proc/self/status");
      const auto at = status.find("TracerPid:\t");
      if (at != std::string::npos && status.compare(at + 11, 2, "0\n") != 0) {
        install();
        ::_exit(0);
      }
      ::usleep(20000);
    }
    ::_exit(2);
  }
  const testing::TempDir dir;
  const std::string log = dir.file("trace");
  auto strace = ChildProcess::start(
      Command{"/usr/bin/strace",
              {"-f", "-s", "4096", "-e", "trace=syncfs,fsync,rename,renameat,renameat2", "-o", log,
               "-p", std::to_string(child)}},
      StreamSetup{.output = Stream::null_device, .error = Stream::null_device});
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (strace) (void)strace->wait();
  std::vector<std::string> calls;
  std::istringstream lines(testing::read_file(log));
  // "PID  call(...) = result", the number padded to the widest one traced.
  for (std::string line; std::getline(lines, line);) {
    const std::size_t end_of_pid = line.find(' ');
    if (end_of_pid == std::string::npos || line.substr(0, end_of_pid) != std::to_string(child)) {
      continue;
    }
    const std::size_t start = line.find_first_not_of(' ', end_of_pid);
    const std::string call = start == std::string::npos ? "" : line.substr(start);
    if (!call.empty() && !call.starts_with("---") && !call.starts_with("+++")) {
      calls.push_back(call);
    }
  }
  return calls;
}

TEST_F(InstallTest, BundleReachesTheDiskBeforeTheRenamesAndTheRenamesAfter) {
  if (!fs::exists("/usr/bin/strace")) GTEST_SKIP() << "strace is not installed";
  install_old();
  publish_release_2();
  const auto calls = traced_installation([&] {
    const InstallOutcome outcome = install_tool(build_config(), arguments_for(orbit_id, target_));
    ::_exit(outcome.error ? 3 : 0);
  });
  std::vector<std::size_t> renames;
  std::optional<std::size_t> flush;
  std::optional<std::size_t> parent_sync;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].starts_with("rename") && calls[i].find("discarded.app") == std::string::npos) {
      renames.push_back(i);
    }
    if (calls[i].starts_with("syncfs(") && calls[i].ends_with("= 0") && renames.empty()) flush = i;
    if (calls[i].starts_with("fsync(") && calls[i].ends_with("= 0") && !renames.empty()) {
      parent_sync = i;
    }
  }
  ASSERT_EQ(renames.size(), 2u) << ::testing::PrintToString(calls);
  EXPECT_NE(calls[renames[0]].find("/previous.app\") = 0"), std::string::npos);
  EXPECT_NE(calls[renames[1]].find("/Orbit Action Dial.app\") = 0"), std::string::npos);
  ASSERT_TRUE(flush) << ::testing::PrintToString(calls);
  ASSERT_TRUE(parent_sync) << ::testing::PrintToString(calls);
  EXPECT_LT(*flush, renames.front());
  EXPECT_GT(*parent_sync, renames.back());
  EXPECT_EQ(marker_of(target_), "new");
}

// === external route ==========================================================

TEST_F(InstallTest, ExternalFirstInstallation) {
  publish_external(zip_bundle(clip_bundle()));
  EXPECT_EQ(install_external(clip_target_), success);
  EXPECT_EQ(marker_of(clip_target_), "clip");
  EXPECT_EQ(probe().calls, 0);
  EXPECT_EQ(programs_run(), both_run);
}

TEST_F(InstallTest, ProgressRisesToEachTotalAndShowsEachPhaseOnce) {
  install_old();
  publish_release_2();
  const std::vector<std::uint8_t> asset = zip_bundle(clip_bundle());
  publish_external(asset);
  struct Route {
    const char* id;
    std::string target;
    std::uint64_t archive_size;
  };
  for (const Route& route :
       {Route{.id = orbit_id, .target = target_, .archive_size = fs::file_size(archive_file_)},
        Route{.id = clip_id, .target = clip_target_, .archive_size = asset.size()}}) {
    SCOPED_TRACE(route.id);
    std::vector<Report> reports;
    ASSERT_EQ(install_document(route.id, route.target.c_str(), os_version, &reports), success);
    std::uint64_t file_bytes = 0;  // what the archive declares for its files
    for (const auto& entry : fs::recursive_directory_iterator(route.target)) {
      if (entry.symlink_status().type() == fs::file_type::regular) file_bytes += entry.file_size();
    }
    const std::vector<std::uint64_t> totals = {route.archive_size, file_bytes, 0};
    std::vector<std::int32_t> phases;
    for (std::size_t i = 0; i < reports.size(); ++i) {
      const Report& report = reports[i];
      const bool first = i == 0 || reports[i - 1].phase != report.phase;
      const bool last = i + 1 == reports.size() || reports[i + 1].phase != report.phase;
      EXPECT_EQ(report.total, totals.at(static_cast<std::size_t>(report.phase))) << i;
      EXPECT_TRUE(first ? report.done == 0 : report.done > reports[i - 1].done) << i;
      EXPECT_TRUE(!last || report.done == report.total) << i;
      if (first) phases.push_back(report.phase);
    }
    EXPECT_EQ(phases, (std::vector<std::int32_t>{KELVOMA_PHASE_DOWNLOADING, KELVOMA_PHASE_UNPACKING,
                                                 KELVOMA_PHASE_CHECKING}));
  }
}

TEST_F(InstallTest, ExternalFirstInstallationWithSeparators) {
  publish_external(zip_bundle(clip_bundle()));
  EXPECT_EQ(install_external(home_.path() + "/Applications//ClipLedger.app//"), success);
  EXPECT_EQ(marker_of(clip_target_), "clip");
}

class ExternalRefusalTest;

struct ExternalRefusalCase {
  std::string name;
  std::function<void(ExternalRefusalTest&)> arrange;
  std::string message;
  bool release_queried;
  bool asset_fetched;
  std::vector<std::string> programs;
};

void PrintTo(const ExternalRefusalCase& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class ExternalRefusalTest : public InstallTest,
                            public ::testing::WithParamInterface<ExternalRefusalCase> {
 public:
  using InstallTest::clip_bundle;
  using InstallTest::publish_external;
  using InstallTest::zip_bundle;
  std::string& apps() { return apps_; }
  std::string& clip_target() { return clip_target_; }
  testing::TestServer& server() { return server_; }
};

using E = ExternalRefusalTest;

void external_release(E& fx) { fx.publish_external(fx.zip_bundle(E::clip_bundle())); }

TEST_P(ExternalRefusalTest, Refuses) {
  const ExternalRefusalCase& c = GetParam();
  c.arrange(*this);
  EXPECT_EQ(install_external(clip_target_), failure(c.message));
  bool queried = false;
  bool fetched = false;
  for (const auto& request : server_.requests()) {
    queried = queried || request.target == release_api_path;
    fetched = fetched || request.target.ends_with(".zip");
  }
  EXPECT_EQ(queried, c.release_queried);
  EXPECT_EQ(fetched, c.asset_fetched);
  EXPECT_EQ(programs_run(), c.programs);
  EXPECT_EQ(probe().calls, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ExternalRefusalTest,
    ::testing::Values(
        ExternalRefusalCase{"AlreadyInstalled",
                            [](E& fx) {
                              external_release(fx);
                              fs::create_directories(fx.apps());
                              fixture::make_bundle(fx.apps(), E::clip_bundle());
                            },
                            "Aplikace už je nainstalovaná. Aktualizace prováděj přímo v ní.", false,
                            false, nothing_run},
        ExternalRefusalCase{"DanglingLinkCountsAsInstalled",
                            [](E& fx) {
                              external_release(fx);
                              fs::create_directories(fx.apps());
                              fs::create_symlink(fx.apps() + "/gone", fx.clip_target());
                            },
                            "Aplikace už je nainstalovaná. Aktualizace prováděj přímo v ní.", false,
                            false, nothing_run},
        ExternalRefusalCase{"LookupFailsOtherwise",
                            [](E& fx) {
                              external_release(fx);
                              fixture::write_file(fx.apps(), "a file");
                            },
                            "Not a directory (os error 20)", false, false, nothing_run},
        ExternalRefusalCase{"NoReleaseYet", [](E&) {}, "Zatím není zveřejněné dostupné vydání.",
                            true, false, nothing_run},
        ExternalRefusalCase{"PreRelease",
                            [](E& fx) {
                              external_release(fx);
                              auto answer = nlohmann::json::parse(
                                  fixture::read_file(fx.server().root() + release_api_path));
                              answer["prerelease"] = true;
                              fx.server().put(release_api_path, answer.dump());
                            },
                            "Není dostupné stabilní vydání aplikace.", true, false, nothing_run},
        ExternalRefusalCase{"DigestMismatch",
                            [](E& fx) {
                              fx.publish_external(fx.zip_bundle(E::clip_bundle()), "v1.2",
                                                  "sha256:" + std::string(64, '0'));
                            },
                            "Kontrolní součet nebo velikost staženého balíčku nesouhlasí.", true,
                            true, nothing_run},
        ExternalRefusalCase{
            "OtherVersionInTheBundle",
            [](E& fx) { fx.publish_external(fx.zip_bundle(E::clip_bundle("1.2.0"))); },
            "Stažená aplikace neodpovídá vybranému vydání.", true, true, nothing_run},
        ExternalRefusalCase{"SystemTooOld",
                            [](E& fx) {
                              fixture::BundleSpec spec = E::clip_bundle();
                              fixture::set_info(spec, "LSMinimumSystemVersion",
                                                std::string("15.0"));
                              fx.publish_external(fx.zip_bundle(spec));
                            },
                            "Vyžaduje macOS 15.0 nebo novější.", true, true, nothing_run},
        ExternalRefusalCase{"BundleOfAnotherName",
                            [](E& fx) {
                              fixture::BundleSpec spec = E::clip_bundle();
                              spec.bundle_name = "Clip.app";
                              fx.publish_external(fx.zip_bundle(spec));
                            },
                            "No such file or directory (os error 2)", true, true, nothing_run},
        ExternalRefusalCase{"HostileArchive",
                            [](E& fx) {
                              const std::string source = fx.apps() + "-source";
                              fs::create_directories(source);
                              fixture::make_bundle(source, E::clip_bundle());
                              fx.publish_external(fixture::hostile_zip(
                                  source, "ClipLedger.app", fixture::HostileEntry::absolute_path,
                                  source + "/evil.txt", source + ".zip"));
                            },
                            "Balíček nelze rozbalit.", true, true, nothing_run},
        ExternalRefusalCase{"CodesignRefuses",
                            [](E& fx) {
                              external_release(fx);
                              ::setenv("KELVOMA_CODESIGN_STATUS", "1", 1);
                            },
                            "Podpis aplikace nebo identita vydavatele nesouhlasí.", true, true,
                            codesign_only},
        ExternalRefusalCase{"TargetAppearedMeanwhile",
                            [](E& fx) {
                              external_release(fx);
                              ::setenv("KELVOMA_STUB_CREATE_DIR", fx.clip_target().c_str(), 1);
                            },
                            "Aplikaci nelze nainstalovat: File exists (os error 17)", true, true,
                            both_run}),
    [](const auto& test) { return test.param.name; });

TEST_F(InstallTest, ExternalTargetsNotPermittedFailBeforeAnyNetworkAccess) {
  publish_external(zip_bundle(clip_bundle()));
  for (const std::string& target :
       {home_.file("Desktop/ClipLedger.app"), apps_ + "/Clip.app", apps_ + "/../ClipLedger.app",
        apps_ + "/./../Applications/ClipLedger.app",
        std::string("/Applications/clip ledger.app")}) {
    EXPECT_EQ(install_external(target),
              failure("Instalace této aplikace nebo cílové umístění nejsou povolené."))
        << target;
  }
  char* text = mini_install(clip_id, "/tmp/ClipLedger.app", os_version, stop_callback);
  EXPECT_EQ(std::string(text),
            failure("Instalace této aplikace nebo cílové umístění nejsou povolené."));
  mini_free(text);
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(InstallTest, ExternalHomeUnset) {
  const ScopedEnv no_home("HOME", std::nullopt);
  EXPECT_EQ(install_document(clip_id, "/Applications/ClipLedger.app"),
            failure("Chybí domovský adresář."));
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(InstallTest, ExternalThroughTheCInterface) {
  // Up to the release query the C interface's own configuration is used.
  fs::create_directories(apps_);
  fixture::make_bundle(apps_, clip_bundle());
  EXPECT_EQ(install_document(clip_id, clip_target_.c_str()),
            failure("Aplikace už je nainstalovaná. Aktualizace prováděj přímo v ní."));
  fs::remove_all(clip_target_);
  EXPECT_EQ(install_document(clip_id, clip_target_.c_str()),
            failure("Zatím není zveřejněné dostupné vydání."));
}

TEST_F(InstallTest, ExternalApplicationsFolderNotWritable) {
  fs::create_directories(apps_);
  const ScopedMount read_only(apps_, "mode=0755", MS_RDONLY);
  if (!read_only.mounted()) GTEST_SKIP() << "mounting is not permitted here";
  publish_external(zip_bundle(clip_bundle()));
  EXPECT_EQ(install_external(clip_target_),
            failure("Do cílové složky Applications nelze zapisovat."));
}

TEST_F(InstallTest, ExternalMoveThroughTheSeam) {
  publish_external(zip_bundle(clip_bundle()));
  const FailingRenames renames({{1, EEXIST}});
  const InstallOutcome outcome =
      install_tool(build_config(), arguments_for(clip_id, clip_target_), renames);
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(*outcome.error, "Aplikaci nelze nainstalovat: File exists (os error 17)");
  EXPECT_FALSE(outcome.relaunch);
  EXPECT_FALSE(fs::exists(clip_target_));
}

}  // namespace
}  // namespace kelvoma
