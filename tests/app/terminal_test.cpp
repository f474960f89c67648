// kelvomactl as a user meets it: the fixture build (kelvomactl-fixture) run
// against the local HTTPS server on the fixture port, in a home of its own,
// one command per row. A row sets the scene (build 1 installed, build 2
// published with its notes, the tool running, another installation holding
// the tool), runs the command, and checks the exit code, what it printed and
// the bundle afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "document.h"
#include "support/fixture_bundle.h"
#include "support/run_program.h"
#include "support/signing.h"
#include "support/temp_dir.h"
#include "support/test_server.h"
#include "system/desktop_entry.h"
#include "system/process_table.h"
#include "system/property_list.h"

namespace kelvoma::app::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* kToolId = "orbit-action-dial";
const std::string kReleases = "/tobranix/orbit-action-dial/releases/";

enum class Host { publishes, answersNothing };

struct Row {
  const char* name;
  std::vector<std::string> arguments;
  std::vector<std::string> before = {};  // a command run first
  bool installed = true;                 // build 1 in ~/Applications
  std::uint64_t published = 2;           // the build on the server, with its notes
  bool terminal = false;                 // standard error a terminal, output merged
  const char* term = "xterm";            // TERM on that terminal
  Host host = Host::publishes;
  bool toolRuns = false;
  bool lockHeld = false;  // another installation of the tool is under way
  // Kelvoma's settings and menu entry of the tool, and a user's own entry of
  // another tool, written first; whether Kelvoma's are there afterwards.
  bool menuEntries = false;
  std::optional<bool> kelvomaFilesRemain = std::nullopt;
  int exit = 0;
  std::string printed = {};     // in standard output (the JSON text with --json)
  std::string complained = {};  // in standard error
  // The installed copy's CFBundleVersion afterwards; "" when none is in place.
  std::optional<std::string> buildAfter = std::nullopt;
};

const Row kRows[] = {
    {.name = "status",
     .arguments = {"status"},
     .printed = "Orbit Action Dial (orbit-action-dial)\n  nainstalováno 1.0.0 (sestavení 1)"},
    {.name = "status_json",
     .arguments = {"status", kToolId, "--json"},
     .printed = R"("installed": true)"},
    {.name = "status_unknown_tool",
     .arguments = {"status", "no-such-tool"},
     .exit = 2,
     .complained = "Neznámý nástroj „no-such-tool“"},
    {.name = "usage_unknown_command",
     .arguments = {"upgrade"},
     .exit = 2,
     .complained = "Neznámý příkaz"},
    {.name = "usage_install_without_tool",
     .arguments = {"install"},
     .exit = 2,
     .complained = "právě jeden nástroj"},
    {.name = "usage_json",
     .arguments = {"--bogus", "--json"},
     .exit = 2,
     .printed = R"("error": "Neznámá volba)"},
    {.name = "check_finds_update",
     .arguments = {"check", kToolId},
     .exit = 100,
     .printed = "nová verze 2.0.0 (sestavení 2)"},
    {.name = "check_finds_update_json",
     .arguments = {"check", kToolId, "--json"},
     .exit = 100,
     .printed = R"("updatable": true)"},
    {.name = "check_up_to_date",
     .arguments = {"check", kToolId},
     .published = 1,
     .printed = "aktuální"},
    {.name = "check_without_network",
     .arguments = {"check", kToolId},
     .host = Host::answersNothing,
     .exit = 4,
     .printed = "kontrola selhala"},
    {.name = "notes",
     .arguments = {"notes", kToolId},
     .printed = "Orbit Action Dial (orbit-action-dial) 2.0.0\nRychlejší nabídka.\n\tTab zůstal.\n"},
    {.name = "update_installs_release",
     .arguments = {"update", "--quiet"},
     .printed = "nainstalována verze 2.0.0",
     .buildAfter = "2"},
    {.name = "update_draws_bar_on_terminal",
     .arguments = {"update", kToolId},
     .terminal = true,
     .printed = " kB/s  zbývá 0:0",
     .buildAfter = "2"},
    {.name = "update_plain_lines_on_dumb_terminal",
     .arguments = {"update", kToolId},
     .terminal = true,
     .term = "dumb",
     .printed = "Orbit Action Dial: stahování\r\nOrbit Action Dial: staženo 25 % (",
     .buildAfter = "2"},
    {.name = "update_json",
     .arguments = {"update", kToolId, "--json"},
     .printed = R"("outcome": "installed")",
     .buildAfter = "2"},
    {.name = "install_not_installed_tool",
     .arguments = {"install", kToolId, "--quiet"},
     .installed = false,
     .printed = "nainstalována verze 2.0.0",
     .buildAfter = "2"},
    {.name = "update_leaves_running_tool",
     .arguments = {"update", kToolId},
     .toolRuns = true,
     .exit = 5,
     .complained = "běží, zůstal beze změny",
     .buildAfter = "1"},
    {.name = "update_stops_running_tool",
     .arguments = {"update", kToolId, "--stop-running", "--quiet"},
     .toolRuns = true,
     .printed = "nástroj byl kvůli instalaci ukončen",
     .buildAfter = "2"},
    {.name = "update_while_tool_busy",
     .arguments = {"update", kToolId},
     .lockHeld = true,
     .exit = 3,
     .complained = "se právě instaluje jinde",
     .buildAfter = "1"},
    {.name = "update_without_network",
     .arguments = {"update", kToolId, "--json"},
     .host = Host::answersNothing,
     .exit = 4,
     .printed = R"("exitCode": 4)",
     .buildAfter = "1"},
    {.name = "remove_stops_and_trashes",
     .arguments = {"remove", kToolId},
     .toolRuns = true,
     .printed = "Orbit Action Dial je v koši.",
     .buildAfter = ""},
    {.name = "status_in_trash",
     .arguments = {"status", kToolId, "--json"},
     .before = {"remove", kToolId},
     .printed = R"("inTrash": true)",
     .buildAfter = ""},
    {.name = "restore_from_trash",
     .arguments = {"restore", kToolId, "--json"},
     .before = {"remove", kToolId},
     .printed = R"("message": "Vráceno z koše.")",
     .buildAfter = "1"},
    {.name = "restore_nothing_in_trash",
     .arguments = {"restore", kToolId},
     .installed = false,
     .exit = 1,
     .complained = "Orbit Action Dial v koši není."},
    {.name = "reset_dry_run",
     .arguments = {"reset", "--dry-run", "--json"},
     .menuEntries = true,
     .kelvomaFilesRemain = true,
     .printed = R"("dryRun": true)",
     .buildAfter = "1"},
    {.name = "reset",
     .arguments = {"reset"},
     .menuEntries = true,
     .kelvomaFilesRemain = false,
     .printed = "odstraněno: ",
     .buildAfter = "1"},
    {.name = "usage_reset_with_tool",
     .arguments = {"reset", kToolId},
     .exit = 2,
     .complained = "nebere žádný nástroj"},
};

// Runs the program with a pseudo-terminal as its standard input, output and
// error; everything it wrote lands in `out`.
kelvoma::testing::ProgramResult onTerminal(const std::vector<std::string>& command,
                                           const char* term) {
  kelvoma::testing::ProgramResult result;
  int master = -1;
  const pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (child == 0) {
    ::setenv("TERM", term, 1);
    std::vector<char*> argv;
    for (const std::string& each : command) {
      argv.push_back(const_cast<char*>(each.c_str()));
    }
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  char buffer[4096];
  ssize_t got = 0;
  while ((got = ::read(master, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
    result.out.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
  }
  ::close(master);
  int status = 0;
  ::waitpid(child, &status, 0);
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

class Terminal : public ::testing::TestWithParam<Row> {
 protected:
  kelvoma::testing::TempDir home;
  kelvoma::testing::TempDir sources;
  kelvoma::testing::TempDir runtime;
  fs::path bundle;
  pid_t tool = -1;

  void SetUp() override {
    bundle = fs::path(home.path()) / "Applications/Orbit Action Dial.app";
    setenv("HOME", home.path().c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home.path() + "/.config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    unsetenv("XDG_DATA_HOME");
  }

  void TearDown() override {
    if (tool > 0) {
      ::kill(tool, SIGKILL);
      ::waitpid(tool, nullptr, 0);
    }
  }

  void publish(kelvoma::testing::TestServer& server, std::uint64_t build) {
    const std::string version = std::to_string(build) + ".0.0";
    fixture::BundleSpec spec = fixture::tool_bundle(kToolId, build, version);
    spec.payload_size = 300'000;
    fixture::set_info(spec, "LSMinimumSystemVersion", std::string("1.0"));
    const fs::path staging = fs::path(sources.path()) / "staging";
    ASSERT_FALSE(fixture::make_bundle(staging, spec).empty());
    const auto archive =
        fixture::zip_entries(staging, {spec.bundle_name}, fs::path(sources.path()) / "v2.zip");
    Release release = fixture::fixture_release(kToolId);
    release.build = build;
    release.version = version;
    release.minimum_macos = "1.0";
    release.archive_url =
        fixture::archive_prefix(kToolId) + "v" + version + "/orbit-action-dial.zip";
    const auto key = fixture::load_key(kToolId);
    const auto published = fixture::publish_release(
        fs::path(server.root()) / ("." + kReleases + "download/v" + version), key, release,
        archive);
    server.put(kReleases + "latest/download/release.json", fixture::read_file(published.manifest));
    // Paced, so that the bar is drawn more than once.
    const std::string served = fs::relative(published.archive, server.root()).string();
    server.route("/" + served, {.file = served, .bytes_per_second = 400'000});
    // A control character the filter takes out, a tab it keeps.
    server.put(
        kReleases + "latest/download/release-notes.json",
        fixture::signed_manifest(
            key, fixture::notes_json(published.release, "Rychlejší nabídka.\x07\n\tTab zůstal.")));
  }

  void installBuildOne() {
    fixture::BundleSpec spec = fixture::tool_bundle(kToolId, 1, "1.0.0");
    ASSERT_FALSE(fixture::make_bundle(bundle.parent_path(), spec).empty());
  }

  void startTool() {
    const std::string program = (bundle / "Contents/MacOS/fixture-tool").string();
    tool = ::fork();
    if (tool == 0) {
      ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    // Seen in /proc as the bundle's process once it has exec'd.
    for (int i = 0; i < 200 && system::runningApplications().empty(); ++i) {
      ::usleep(10'000);
    }
  }

  std::vector<std::string> kelvomaFiles() const {
    return {home.path() + "/.config/cz.tobranix.tools-manager.ini",
            system::DesktopEntries(home.path() + "/.local/share").entryPath(kToolId)};
  }
  std::string usersEntry() const {
    return system::DesktopEntries(home.path() + "/.local/share").entryPath("pane-keeper");
  }

  void writeMenuEntries() {
    const auto inHome = [&](const std::string& path) {
      return path.substr(home.path().size() + 1);
    };
    const auto files = kelvomaFiles();
    ASSERT_FALSE(home.write(inHome(files[0]), "[General]\nautomaticChecks=false\n").empty());
    ASSERT_FALSE(home.write(inHome(files[1]), std::string("[Desktop Entry]\nName=Orbit\n") +
                                                  system::kToolKey + "=" + kToolId + "\n")
                     .empty());
    ASSERT_FALSE(home.write(inHome(usersEntry()), "[Desktop Entry]\nName=Pane Keeper\n").empty());
  }

  std::string buildNow() {
    const auto info = system::readBundleInfo(bundle.string());
    return info ? textOf(*info, "CFBundleVersion").value_or("") : "";
  }
};

TEST_P(Terminal, Command) {
  const Row& row = GetParam();
  kelvoma::testing::TestServer server(kelvoma::testing::ServerPort::fixture);
  ASSERT_TRUE(server.running()) << server.failure();
  publish(server, row.published);
  if (row.host == Host::answersNothing) {
    server.route(kReleases + "latest/download/release.json", {.drop = true});
  }
  if (row.installed) {
    installBuildOne();
  }
  if (row.toolRuns) {
    startTool();
  }
  if (row.menuEntries) {
    writeMenuEntries();
  }
  int held = -1;
  if (row.lockHeld) {
    held = ::open((runtime.path() + "/kelvoma-" + kToolId + ".lock").c_str(),
                  O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
  }
  ASSERT_FALSE(HasFailure());

  if (!row.before.empty()) {
    std::vector<std::string> first{KELVOMA_CTL_EXE};
    first.insert(first.end(), row.before.begin(), row.before.end());
    ASSERT_EQ(kelvoma::testing::run_program(first).exit_status, 0);
  }
  std::vector<std::string> command{KELVOMA_CTL_EXE};
  command.insert(command.end(), row.arguments.begin(), row.arguments.end());
  const auto result =
      row.terminal ? onTerminal(command, row.term) : kelvoma::testing::run_program(command);
  if (held >= 0) {
    ::close(held);
  }
  EXPECT_EQ(result.exit_status, row.exit) << result.out << result.err;
  EXPECT_NE(result.out.find(row.printed), std::string::npos) << result.out;
  EXPECT_NE(result.err.find(row.complained), std::string::npos) << result.err;
  if (std::ranges::find(row.arguments, "--json") != row.arguments.end()) {
    const Document json = Document::parse(result.out, nullptr, false);
    ASSERT_TRUE(json.is_object()) << result.out;
    EXPECT_EQ(json.value("schema", 0), 1);
    EXPECT_EQ(json.value("exitCode", -1), row.exit);
  }
  if (row.kelvomaFilesRemain) {
    for (const std::string& file : kelvomaFiles()) {
      EXPECT_EQ(fs::exists(file), *row.kelvomaFilesRemain) << file;
    }
    EXPECT_TRUE(fs::exists(usersEntry())) << "the user's own entry is not Kelvoma's to remove";
  }
  if (row.buildAfter) {
    EXPECT_EQ(buildNow(), *row.buildAfter);
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, Terminal, ::testing::ValuesIn(kRows),
                         [](const auto& each) { return std::string(each.param.name); });

}  // namespace
}  // namespace kelvoma::app::testing
