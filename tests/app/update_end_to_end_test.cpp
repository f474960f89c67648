// The real executable (the fixture build) updates a running tool: on a
// virtual display with a private session bus, against the local HTTPS server
// on the fixture port. A check asked for over the bus finds a signed build 2,
// the row offers "Aktualizovat", a pointer click on it installs the update
// (stub signing programs), the running tool is stopped and started again from
// the new bundle, and the row ends with "Nainstalováno." and "Aktuální verze".
// The rows are read as a screen reader reads them, over the accessibility bus.
// Screenshots before and after go to the build tree's artifacts.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "desktop_session.h"
#include "document.h"
#include "support/fixture_bundle.h"
#include "support/run_program.h"
#include "support/signing.h"
#include "support/temp_dir.h"
#include "support/test_server.h"
#include "system/process_table.h"
#include "system/property_list.h"

namespace kelvoma::app::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kToolId = "orbit-action-dial";
constexpr const char* kToolName = "Orbit Action Dial";
constexpr const char* kWindowTitle = "Kelvoma · Nástroje";
constexpr auto kStepLimit = 45s;  // sanitizer builds start slowly on a shared machine
const std::string kManifestPath =
    "/tobranix/orbit-action-dial/releases/latest/download/release.json";

// One tool row as the accessibility tree shows it.
struct Row {
  std::string state;
  std::string version;
  std::string message;
  std::string installTitle;
  bool installEnabled = false;
  ScreenRect install;
};

std::string describe(const std::optional<Row>& row) {
  if (!row) {
    return "(no row)";
  }
  return "state \"" + row->state + "\", version \"" + row->version + "\", message \"" +
         row->message + "\", install \"" + row->installTitle + "\" (" +
         (row->installEnabled ? "enabled" : "disabled") + ")";
}

// The row box holds, in order, the icon, the name, state, description,
// version and message labels, the switch and the settings, install and trash buttons.
std::optional<Row> rowOf(const AccessibleNode& application, std::string_view toolName) {
  const AccessibleNode* box = application.find([&](const AccessibleNode& node) {
    for (const AccessibleNode& child : node.children) {
      if (child.role == "label" && child.name == toolName) {
        return true;
      }
    }
    return false;
  });
  if (box == nullptr) {
    return std::nullopt;
  }
  const auto labels = box->childrenWithRole("label");
  const auto buttons = box->childrenWithRole("push button");
  // Settings, install, trash; "Co je nového" too once notes arrived.
  if (labels.size() != 5 || buttons.size() < 3) {
    return std::nullopt;
  }
  return Row{.state = labels[1]->name,
             .version = labels[3]->name,
             .message = labels[4]->name,
             // The button's accessible name is its title, then the tool's name.
             .installTitle = buttons[1]->name.substr(0, buttons[1]->name.find(" – ")),
             .installEnabled = buttons[1]->enabled,
             .install = buttons[1]->extents};
}

struct ToolStart {
  int pid = 0;
  std::string arguments;
};

std::vector<ToolStart> toolStarts(const fs::path& log) {
  std::vector<ToolStart> starts;
  std::ifstream lines(log);
  std::string line;
  while (std::getline(lines, line)) {
    const auto tab = line.find('\t');
    starts.push_back({std::stoi(line.substr(0, tab)),
                      tab == std::string::npos ? std::string() : line.substr(tab + 1)});
  }
  return starts;
}

// Alive and not a zombie.
bool processRuns(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z' &&
         text[close + 2] != 'X';
}

// Whether the process runs the very file at `path` (the same inode), not
// merely a file that once had that name.
bool runsFile(int pid, const fs::path& path) {
  struct stat running {};
  struct stat file {};
  const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
  return ::stat(exe.c_str(), &running) == 0 && ::stat(path.c_str(), &file) == 0 &&
         running.st_dev == file.st_dev && running.st_ino == file.st_ino;
}

class UpdateEndToEnd : public ::testing::Test {
 protected:
  kelvoma::testing::TempDir home;
  kelvoma::testing::TempDir sources;
  fs::path applications;
  fs::path bundle;
  fs::path toolLog;
  fs::path stubLog;
  fs::path appLog;
  fs::path artifacts = KELVOMA_APP_ARTIFACTS;

  void SetUp() override {
    applications = fs::path(home.path()) / "Applications";
    bundle = applications / (std::string(kToolName) + ".app");
    toolLog = fs::path(home.path()) / "tool.log";
    stubLog = fs::path(home.path()) / "stubs.log";
    appLog = artifacts / "update-end-to-end.log";
    fs::create_directories(artifacts);
    fs::remove(appLog);
    // Everything started from here on (the bus's services, the application
    // and the tools it launches) lives in this home.
    setenv("HOME", home.path().c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home.path() + "/.config").c_str(), 1);
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_RUNTIME_DIR");
    setenv("KELVOMA_FIXTURE_TOOL_LOG", toolLog.c_str(), 1);
    setenv("KELVOMA_STUB_LOG", stubLog.c_str(), 1);
    unsetenv("KELVOMA_CODESIGN_STATUS");
    unsetenv("KELVOMA_SPCTL_STATUS");
    unsetenv("KELVOMA_FIXTURE_TOOL_IGNORE_SIGTERM");
  }

  void TearDown() override {
    // The tools outlive the application by design; they end with the test.
    for (const auto& running : system::runningApplications()) {
      if (running.bundlePath.starts_with(home.path() + "/")) {
        ::kill(running.pid, SIGKILL);
      }
    }
  }

  // Build 1 installed in ~/Applications, remembered as switched on, so that
  // the application starts it; no automatic check.
  void installBuildOne() {
    fixture::BundleSpec spec = fixture::tool_bundle(kToolId, 1, "1.0.0");
    spec.marker = "build-1";
    ASSERT_FALSE(fixture::make_bundle(applications, spec).empty());
    const std::string settings =
        home.write(".config/cz.tobranix.tools-manager.ini",
                   "[General]\nautomaticChecks=false\nenabled.orbit-action-dial=true\n");
    ASSERT_FALSE(settings.empty());
  }

  // Build 2, zipped, signed with the publisher's fixture key and published
  // where the fixture catalog looks for it.
  void publishBuildTwo(kelvoma::testing::TestServer& server) {
    fixture::BundleSpec spec = fixture::tool_bundle(kToolId, 2, "2.0.0");
    spec.marker = "build-2";
    // Any running kernel qualifies: the system rule is not what this test is about.
    fixture::set_info(spec, "LSMinimumSystemVersion", std::string("1.0"));
    const fs::path staging = fs::path(sources.path()) / "build-2";
    ASSERT_FALSE(fixture::make_bundle(staging, spec).empty());
    const auto archive =
        fixture::zip_entries(staging, {spec.bundle_name}, fs::path(sources.path()) / "v2.zip");
    ASSERT_FALSE(archive.empty());

    Release release = fixture::fixture_release(kToolId);
    release.build = 2;
    release.version = "2.0.0";
    release.minimum_macos = "1.0";
    release.archive_url = fixture::archive_prefix(kToolId) + "v2.0.0/orbit-action-dial.zip";
    const auto published = fixture::publish_release(
        fs::path(server.root()) / "tobranix/orbit-action-dial/releases/download/v2.0.0",
        fixture::load_key(kToolId), release, archive);
    ASSERT_TRUE(fs::exists(published.archive));
    server.put(kManifestPath, fixture::read_file(published.manifest));
    // Paced so that the download lasts about four seconds and its progress can be watched.
    const std::string served = fs::relative(published.archive, server.root()).string();
    server.route("/" + served, {.file = served,
                                .bytes_per_second = std::max<std::uint64_t>(
                                    fs::file_size(published.archive) / 4, 1)});
  }
};

TEST_F(UpdateEndToEnd, UpdatesARunningToolFromTheWindowAndStartsItAgain) {
  kelvoma::testing::TestServer server(kelvoma::testing::ServerPort::fixture);
  ASSERT_TRUE(server.running()) << server.failure();
  installBuildOne();
  publishBuildTwo(server);
  ASSERT_FALSE(HasFailure());

  DesktopSession desktop;
  ASSERT_TRUE(desktop.ready()) << desktop.failure();
  // An ordinary start: the window opens (only shown windows are on the
  // accessibility bus).
  auto app = Process::start({KELVOMA_FIXTURE_EXE}, appLog.string());
  ASSERT_TRUE(app.has_value());
  const auto appOutput = [&] { return "\napplication output:\n" + fixture::read_file(appLog); };

  // Start-up launches the remembered tool from build 1.
  ASSERT_TRUE(eventually(kStepLimit, [&] { return toolStarts(toolLog).size() == 1; }))
      << "the application did not start the tool" << appOutput();
  const ToolStart first = toolStarts(toolLog).front();
  EXPECT_EQ(first.arguments, "--background");
  ASSERT_TRUE(runsFile(first.pid, bundle / "Contents/MacOS/fixture-tool"));

  std::optional<Row> row;
  const auto read = [&] {
    const auto tree = desktop.application("Kelvoma");
    row = tree ? rowOf(*tree, kToolName) : std::nullopt;
    return row.has_value();
  };
  // Each wait names the whole row it expects: a reading is many calls, and a
  // refresh may fall between them.
  ASSERT_TRUE(eventually(kStepLimit,
                         [&] {
                           return read() && row->state == "Běží" &&
                                  row->version == "Nainstalováno 1.0.0" &&
                                  row->installTitle == "Zkontrolovat" && row->installEnabled;
                         }))
      << "the window is not on the accessibility bus, the tool does not run, or a check ran: "
      << describe(row) << appOutput();

  // Another process asks for a check over the session bus.
  ASSERT_EQ(desktop.run({"/usr/bin/dbus-send", "--session", "--type=signal", "/cz/tobranix/Kelvoma",
                         "cz.tobranix.Kelvoma.KelvomaCheckUpdates"}),
            std::nullopt);
  ASSERT_TRUE(eventually(
      kStepLimit,
      [&] {
        return read() && row->installTitle == "Aktualizovat" && row->installEnabled &&
               row->message.ends_with(" · Nová verze je připravená ke stažení.") &&
               row->version == "Nainstalováno 1.0.0  ·  Nová verze 2.0.0" && row->state == "Běží";
      }))
      << describe(row) << appOutput();

  const auto tree = desktop.application("Kelvoma");
  ASSERT_TRUE(tree.has_value());
  const AccessibleNode* window =
      tree->find([](const AccessibleNode& node) { return node.name == kWindowTitle; });
  ASSERT_NE(window, nullptr);
  ASSERT_GT(window->extents.width, 0);
  ASSERT_EQ(desktop.screenshot(window->extents, (artifacts / "update-before.png").string()),
            std::nullopt);

  // A screen reader's view of the window, then of the installation's progress.
  const fs::path checkLog = artifacts / "accessibility-check.log";
  auto watcher =
      Process::startPiped({"/usr/bin/python3", KELVOMA_A11Y_CHECK, "--title", kWindowTitle,
                           "--tool", kToolName, "--tree", (artifacts / "row-tree.txt").string()},
                          checkLog.string());
  ASSERT_TRUE(watcher.has_value());
  ASSERT_EQ(watcher->readLine(kStepLimit), "READY") << fixture::read_file(checkLog);

  // A pointer click on "Aktualizovat".
  ASSERT_GT(row->install.width, 0);
  const ScreenRect pressed = row->install;
  ASSERT_EQ(desktop.click(row->install.centreX(), row->install.centreY()), std::nullopt);

  ASSERT_TRUE(eventually(kStepLimit,
                         [&] {
                           return read() && row->message == "Nainstalováno." &&
                                  row->installTitle == "Aktuální verze" && !row->installEnabled &&
                                  row->version == "Nainstalováno 2.0.0" && row->state == "Běží";
                         }))
      << describe(row) << appOutput();
  EXPECT_EQ(watcher->stop(0, kStepLimit), 0) << fixture::read_file(checkLog);
  // The row stays where it was pressed: the list did not scroll away from it.
  EXPECT_EQ(row->install.y, pressed.y);
  EXPECT_EQ(row->install.x, pressed.x);

  const auto after = desktop.application("Kelvoma");
  ASSERT_TRUE(after.has_value());
  window = after->find([](const AccessibleNode& node) { return node.name == kWindowTitle; });
  ASSERT_NE(window, nullptr);
  ASSERT_EQ(desktop.screenshot(window->extents, (artifacts / "update-after.png").string()),
            std::nullopt);
  std::cout << "screenshots: " << (artifacts / "update-before.png").string() << ", "
            << (artifacts / "update-after.png").string() << "\n";

  // Build 2 is in place, with nothing of the installation left beside it.
  const auto info = system::readPropertyList((bundle / "Contents/Info.plist").string());
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(textOf(*info, "CFBundleVersion"), "2");
  EXPECT_EQ(textOf(*info, "CFBundleShortVersionString"), "2.0.0");
  EXPECT_EQ(fixture::read_file(bundle / "Contents/Resources/marker.txt"), "build-2");
  for (const auto& entry : fs::directory_iterator(applications)) {
    EXPECT_EQ(entry.path(), bundle) << "left beside the bundle";
  }

  // The old instance was asked to quit, the new one runs the new bundle's file.
  // The row follows /proc; the started tool writes its line a moment later.
  ASSERT_TRUE(eventually(10s, [&] { return toolStarts(toolLog).size() >= 2; }))
      << "the tool was not started again";
  const auto starts = toolStarts(toolLog);
  ASSERT_EQ(starts.size(), 2u) << "the tool was started more than once more";
  EXPECT_FALSE(processRuns(first.pid)) << "the build 1 instance still runs";
  EXPECT_EQ(starts[1].arguments, "--background");
  EXPECT_TRUE(processRuns(starts[1].pid));
  EXPECT_TRUE(runsFile(starts[1].pid, bundle / "Contents/MacOS/fixture-tool"))
      << "the running tool is not the new bundle's";

  // The signing programs judged the new bundle, and the server saw the check
  // and the download.
  const std::string stubs = fixture::read_file(stubLog);
  EXPECT_NE(stubs.find("codesign\t"), std::string::npos) << stubs;
  EXPECT_NE(stubs.find("spctl\t"), std::string::npos) << stubs;
  int manifests = 0;
  int archives = 0;
  for (const auto& request : server.requests()) {
    manifests += request.target == kManifestPath ? 1 : 0;
    archives += request.target.ends_with("v2.0.0/orbit-action-dial.zip") ? 1 : 0;
  }
  EXPECT_GE(manifests, 2) << "a check and an installation each read the manifest";
  EXPECT_EQ(archives, 1);

  // The tool is in the application menu: its entry is valid and starts the
  // new bundle's program as the switch does, the way a desktop starts it.
  const fs::path data = fs::path(home.path()) / ".local/share";
  const fs::path entry = data / "applications/cz.tobranix.kelvoma.orbit_action_dial.desktop";
  const fs::path icon =
      data / "icons/hicolor/scalable/apps/cz.tobranix.kelvoma.orbit_action_dial.svg";
  ASSERT_TRUE(eventually(5s, [&] { return fs::exists(entry) && fs::exists(icon); }));
  EXPECT_NE(fixture::read_file(entry).find("\nExec=\"" + bundle.string() +
                                           "/Contents/MacOS/fixture-tool\" --background\n"),
            std::string::npos)
      << fixture::read_file(entry);
  const auto validated =
      kelvoma::testing::run_program({"/usr/bin/desktop-file-validate", entry.string()});
  EXPECT_EQ(validated.out + validated.err, "");
  ::kill(starts[1].pid, SIGKILL);
  // The started tool must not hold the output that run() reads to its end.
  ASSERT_EQ(desktop.run({"/bin/sh", "-c", "exec /usr/bin/gio launch \"$1\" >/dev/null 2>&1", "sh",
                         entry.string()}),
            std::nullopt);
  ASSERT_TRUE(eventually(10s, [&] { return toolStarts(toolLog).size() == 3; }));
  EXPECT_EQ(toolStarts(toolLog)[2].arguments, "--background");
  EXPECT_TRUE(runsFile(toolStarts(toolLog)[2].pid, bundle / "Contents/MacOS/fixture-tool"));

  // Removed by hand, the bundle takes its entry and icon along at the next refresh.
  ::kill(toolStarts(toolLog)[2].pid, SIGKILL);
  fs::remove_all(bundle);
  EXPECT_TRUE(eventually(5s, [&] { return !fs::exists(entry) && !fs::exists(icon); }));

  // Nothing installs now: the system's request to quit ends it normally.
  EXPECT_EQ(app->stop(SIGTERM, 20s), 0) << appOutput();
}

}  // namespace
}  // namespace kelvoma::app::testing

int main(int argc, char** argv) {
  // The accessibility bus is read through Qt's D-Bus module, which wants an
  // application object; no display is needed for it.
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
