// The Linux layers under the Qt platform, with real files and processes:
// /proc, property lists, the autostart entry, the kernel release.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

#include "support/fixture_bundle.h"
#include "system/autostart.h"
#include "system/exec_value.h"
#include "system/process_table.h"
#include "system/property_list.h"
#include "system/system_version.h"

extern char** environ;

namespace kelvoma::app::system {
namespace {

namespace fs = std::filesystem;

class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    std::string pattern = (fs::temp_directory_path() / "kelvoma-app-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TemporaryDirectory() {
    std::error_code error;
    fs::remove_all(path_, error);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// A started child, ended and reaped by the end of the test whatever happens.
class Child {
 public:
  Child(const fs::path& executable, std::vector<std::string> arguments) {
    std::vector<char*> argv;
    std::string program = executable.string();
    argv.push_back(program.data());
    for (std::string& each : arguments) {
      argv.push_back(each.data());
    }
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }
  // Whether it exited within the time.
  bool waitForExit(std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        reaped_ = true;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  // Whether it is still alive (a zombie counts as gone).
  bool alive() const {
    const auto stat = readProcessStat("/proc", pid_);
    return stat && stat->state != 'Z';
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

// The tool, once it has written its start line (its signal handling is set
// up by then), as the process table lists it.
std::optional<RunningApplication> findRunning(pid_t pid, const fs::path& log) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < until) {
    std::error_code error;
    if (fs::file_size(log, error) == 0 || error) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    for (const RunningApplication& each : runningApplications()) {
      if (each.pid == pid) {
        return each;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return std::nullopt;
}

fs::path makeToolBundle(const fs::path& directory, const std::string& toolId) {
  return fixture::make_bundle(directory, fixture::tool_bundle(toolId, 7, "3.1.0"));
}

// ---- Bundles of executables ------------------------------------------------------

TEST(BundleOfExecutable, OnlyDirectlyInsideContentsMacOSOfAnAppOrItsProcessorFolders) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"/Applications/Pane Keeper.app/Contents/MacOS/fixture-tool",
       "/Applications/Pane Keeper.app"},
      {"/a/B.app/Contents/MacOS/C.app/Contents/MacOS/x", "/a/B.app/Contents/MacOS/C.app"},
      {"/a/B.app/Contents/MacOS/sub/x", std::nullopt},
      {"/a/B.app/Contents/MacOS/arm64/x", "/a/B.app"},
      {"/a/B.app/Contents/MacOS/x86_64/x", "/a/B.app"},
      {"/a/B.app/Contents/MacOS/arm64/sub/x", std::nullopt},
      {"/a/B.app/Contents/MacOS/", std::nullopt},
      {"/a/B/Contents/MacOS/x", std::nullopt},
      {"/usr/bin/sleep", std::nullopt},
      {"/Contents/MacOS/x", std::nullopt},
  };
  for (const auto& [executable, bundle] : cases) {
    EXPECT_EQ(bundlePathOfExecutable(executable), bundle) << executable;
  }
}

// ---- Running applications ---------------------------------------------------------

TEST(RunningApplications, FindsAToolWithItsIdentityAndEndsItPolitely) {
  TemporaryDirectory directory;
  const fs::path bundle = makeToolBundle(directory.path(), "pane-keeper");
  const fs::path log = directory.path() / "log";
  Child child(bundle / "Contents/MacOS/fixture-tool", {"--background", "--log=" + log.string()});
  ASSERT_GT(child.pid(), 0);
  const auto found = findRunning(child.pid(), log);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->bundleIdentifier, "cz.tobranix.pane-keeper");
  EXPECT_EQ(found->bundlePath, fs::canonical(bundle).string());
  EXPECT_EQ(found->startTime, readProcessStat("/proc", child.pid())->startTime);
  EXPECT_FALSE(isTerminated(*found));

  terminate(*found);
  EXPECT_TRUE(child.waitForExit(std::chrono::seconds(5)));
  EXPECT_TRUE(isTerminated(*found));
}

TEST(RunningApplications, AReusedProcessIdIsNotTheTool) {
  TemporaryDirectory directory;
  const fs::path bundle = makeToolBundle(directory.path(), "orbit-action-dial");
  const fs::path log = directory.path() / "log";
  Child child(bundle / "Contents/MacOS/fixture-tool", {"--log=" + log.string()});
  auto found = findRunning(child.pid(), log);
  ASSERT_TRUE(found);
  RunningApplication impostor = *found;
  impostor.startTime += 1;  // the same id, another process
  EXPECT_TRUE(isTerminated(impostor));
  HeldProcesses held("/proc");
  held.holdOnly({impostor, *found});
  EXPECT_EQ(held.applications(), std::vector{*found});
  terminate(impostor);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(child.alive());
}

TEST(RunningApplications, AToolThatIgnoresTheRequestKeepsRunning) {
  TemporaryDirectory directory;
  const fs::path bundle = makeToolBundle(directory.path(), "orbit-action-dial");
  const fs::path log = directory.path() / "log";
  Child child(bundle / "Contents/MacOS/fixture-tool",
              {"--ignore-sigterm", "--log=" + log.string()});
  const auto found = findRunning(child.pid(), log);
  ASSERT_TRUE(found);
  terminate(*found);
  EXPECT_FALSE(child.waitForExit(std::chrono::milliseconds(300)));
  EXPECT_FALSE(isTerminated(*found));
}

TEST(RunningApplications, AnUnreapedExitCountsAsTerminatedAndIsNotListed) {
  TemporaryDirectory directory;
  const fs::path bundle = makeToolBundle(directory.path(), "orbit-action-dial");
  const fs::path log = directory.path() / "log";
  Child child(bundle / "Contents/MacOS/fixture-tool",
              {"--exit-after-ms=300", "--log=" + log.string()});
  const auto found = findRunning(child.pid(), log);
  ASSERT_TRUE(found);
  // Wait until it is a zombie, without reaping it.
  for (int i = 0; i < 500 && child.alive(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_FALSE(child.alive());
  EXPECT_TRUE(isTerminated(*found));
  for (const RunningApplication& each : runningApplications()) {
    EXPECT_NE(each.pid, child.pid());
  }
}

TEST(RunningApplications, ProcessesOutsideBundlesAreNotApplications) {
  for (const RunningApplication& each : runningApplications()) {
    EXPECT_NE(each.pid, getpid());
    EXPECT_TRUE(each.bundlePath.ends_with(".app")) << each.bundlePath;
  }
  EXPECT_TRUE(runningApplications("/nonexistent-proc").empty());
}

TEST(ProcessTableTest, NewProcessesAtOnceAnExecIntoABundleWithinTheRescanPeriod) {
  TemporaryDirectory directory;
  const fs::path bundle = makeToolBundle(directory.path(), "pane-keeper");
  const fs::path log = directory.path() / "log";
  const fs::path gate = directory.path() / "gate";
  ProcessTable table("/proc", 5.0);
  table.scan(0.0);
  EXPECT_GT(table.knownProcesses(), 0u);

  // A new process is read at the next scan, whatever the period.
  const std::string script = "while [ ! -e '" + gate.string() + "' ]; do sleep 0.02; done; exec '" +
                             (bundle / "Contents/MacOS/fixture-tool").string() +
                             "' --log=" + log.string();
  Child child("/bin/sh", {"-c", script});
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto listed = [&](double now) {
    for (const RunningApplication& each : table.scan(now)) {
      if (each.pid == child.pid()) {
        return true;
      }
    }
    return false;
  };
  EXPECT_FALSE(listed(1.0));  // still the shell, now known
  std::ofstream(gate) << "go";
  for (int i = 0; i < 500; ++i) {
    std::error_code error;
    if (const auto size = fs::file_size(log, error); !error && size > 0) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // The known shell exec'd the tool: seen by the next full reading at the latest.
  const bool before = listed(2.0);
  EXPECT_TRUE(listed(6.0));
  EXPECT_TRUE(listed(6.5));  // and on every scan after that, being inside a bundle
  (void)before;              // a scan before the period may or may not have read it again
  EXPECT_FALSE(runningApplications().empty());
}

// By hand, between refreshes: the table lists exactly what is left at once
// (and still at the refresh after, which looks again), and a quiet refresh
// after that reads no process but the tools'.
TEST(ProcessTableTest, StartsAndExitsAsEventsWithinTwoRefreshes) {
  struct Scene {
    TemporaryDirectory directory;
    fs::path bundle = makeToolBundle(directory.path(), "pane-keeper");
    std::vector<std::unique_ptr<Child>> children;
    std::vector<pid_t> forked;  // no child of ours: killed here
    ~Scene() {
      for (const pid_t pid : forked) kill(pid, SIGKILL);
    }
    pid_t start(const fs::path& executable, std::vector<std::string> arguments = {}) {
      children.push_back(std::make_unique<Child>(executable, std::move(arguments)));
      return children.back()->pid();
    }
    fs::path tool() const { return bundle / "Contents/MacOS/fixture-tool"; }
  };
  struct Case {
    const char* name;
    std::function<void(Scene&)> before;
    std::function<std::vector<pid_t>(Scene&)> byHand;  // what is listed afterwards
  };
  const Case cases[] = {
      {.name = "started",
       .before = [](Scene&) {},
       .byHand = [](Scene& scene) { return std::vector{scene.start(scene.tool())}; }},
      {.name = "killed",
       .before = [](Scene& scene) { scene.start(scene.tool()); },
       .byHand =
           [](Scene& scene) {
             kill(scene.children[0]->pid(), SIGKILL);
             EXPECT_TRUE(scene.children[0]->waitForExit(std::chrono::seconds(5)));
             return std::vector<pid_t>{};
           }},
      {.name = "exec'd by a shell already known",
       .before =
           [](Scene& scene) {
             const std::string gate = (scene.directory.path() / "gate").string();
             scene.start("/bin/sh",
                         {"-c", "while [ ! -e '" + gate + "' ]; do sleep 0.02; done; exec '" +
                                    scene.tool().string() + "'"});
           },
       .byHand =
           [](Scene& scene) {
             std::ofstream(scene.directory.path() / "gate") << "go";
             const pid_t shell = scene.children[0]->pid();
             const fs::path exe = "/proc/" + std::to_string(shell) + "/exe";
             std::error_code error;
             for (int i = 0;
                  i < 500 && !bundlePathOfExecutable(fs::read_symlink(exe, error).string()); ++i) {
               std::this_thread::sleep_for(std::chrono::milliseconds(10));
             }
             return std::vector{shell};
           }},
      {.name = "replaced by an update's rename",
       .before = [](Scene& scene) { scene.start(scene.tool()); },
       .byHand =
           [](Scene& scene) {
             fs::rename(scene.bundle, scene.directory.path() / "previous.app");
             makeToolBundle(scene.directory.path(), "pane-keeper");
             return std::vector{scene.start(scene.tool())};
           }},
      {.name = "forked, then the parent exits",
       .before =
           [](Scene& scene) {
             const fs::path log = scene.directory.path() / "log";  // once it waits for signals
             scene.start(scene.tool(), {"--fork-on-sigusr1", "--log=" + log.string()});
             for (int i = 0; i < 500 && !fs::exists(log); ++i) usleep(10000);
           },
       .byHand =
           [](Scene& scene) {
             kill(scene.children[0]->pid(), SIGUSR1);
             EXPECT_TRUE(scene.children[0]->waitForExit(std::chrono::seconds(5)));
             for (const RunningApplication& each : runningApplications()) {
               if (each.bundlePath == scene.bundle) scene.forked.push_back(each.pid);
             }
             return scene.forked;
           }},
  };
  for (const Case& each : cases) {
    Scene scene;
    ProcessTable table("/proc", 30.0);
    const std::vector<std::string> bundles{scene.bundle.string()};
    each.before(scene);
    table.scan(bundles, 0.0);
    table.scan(bundles, 1.0);  // looks again after the first look
    const auto expected = each.byHand(scene);
    auto listed = [&](double now) {
      std::vector<pid_t> pids;
      for (const RunningApplication& application : table.scan(bundles, now)) {
        pids.push_back(application.pid);
      }
      return pids;
    };
    EXPECT_EQ(listed(2.0), expected) << each.name;  // the exec had completed
    EXPECT_EQ(listed(3.0), expected) << each.name;
    EXPECT_EQ(listed(4.0), expected) << each.name;
    EXPECT_FALSE(table.readEveryProcess()) << each.name;
  }
}

// ---- Property lists ------------------------------------------------------------

TEST(PropertyLists, ReadsXmlAndBinaryAlike) {
  for (const auto format : {fixture::PlistFormat::xml, fixture::PlistFormat::binary}) {
    auto bundle = fixture::tool_bundle("pane-keeper", 12, "4.0.1");
    bundle.format = format;
    fixture::set_info(bundle, "LSUIElement", true);
    fixture::set_info(bundle, "Negative", std::int64_t{-3});
    const auto document = parsePropertyList(fixture::info_plist(bundle));
    ASSERT_TRUE(document);
    EXPECT_EQ((*document)["CFBundleIdentifier"], "cz.tobranix.pane-keeper");
    EXPECT_EQ((*document)["CFBundleVersion"], "12");
    EXPECT_EQ((*document)["CFBundleShortVersionString"], "4.0.1");
    EXPECT_EQ((*document)["LSUIElement"], true);
    EXPECT_EQ((*document)["Negative"], -3);
  }
}

TEST(PropertyLists, UnreadableOrMalformedGiveNothing) {
  TemporaryDirectory directory;
  const fs::path garbage = directory.path() / "garbage.plist";
  std::ofstream(garbage) << "this is { not a plist";
  const fs::path empty = directory.path() / "empty.plist";
  std::ofstream(empty) << "";
  EXPECT_EQ(readPropertyList(garbage.string()), std::nullopt);
  EXPECT_EQ(readPropertyList(empty.string()), std::nullopt);
  EXPECT_EQ(readPropertyList((directory.path() / "missing").string()), std::nullopt);
  EXPECT_EQ(readPropertyList(directory.path().string()), std::nullopt);  // a folder

  const fs::path array = directory.path() / "array.plist";
  std::ofstream(array)
      << R"(<?xml version="1.0"?><plist version="1.0"><array><string>a</string></array></plist>)";
  EXPECT_EQ(readPropertyList(array.string()), Document::array({"a"}));
}

// ---- The autostart entry ----------------------------------------------------------

TEST(AutostartEntry, WrittenReadBackAndRemoved) {
  TemporaryDirectory directory;
  const std::string entry =
      (directory.path() / "autostart/cz.tobranix.tools-manager.desktop").string();
  const Autostart autostart(entry, "/opt/Kelvoma \"beta\"/bin/kelvoma");
  EXPECT_EQ(autostart.status(), LoginItemStatus::notRegistered);
  ASSERT_TRUE(autostart.enable());
  EXPECT_EQ(autostart.status(), LoginItemStatus::enabled);
  std::ifstream written(entry);
  const std::string text((std::istreambuf_iterator<char>(written)), {});
  // The quotes' backslashes doubled by the value's own escapes, as a desktop reads them.
  EXPECT_NE(text.find("Exec=\"/opt/Kelvoma \\\\\"beta\\\\\"/bin/kelvoma\" --background\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\nTryExec=/opt/Kelvoma \"beta\"/bin/kelvoma\n"), std::string::npos);
  EXPECT_NE(text.find("Type=Application\n"), std::string::npos);

  // Another program's entry under our name does not count.
  const Autostart other(entry, "/usr/bin/kelvoma");
  EXPECT_EQ(other.status(), LoginItemStatus::notRegistered);

  ASSERT_TRUE(autostart.disable());
  EXPECT_EQ(autostart.status(), LoginItemStatus::notRegistered);
  EXPECT_TRUE(autostart.disable());  // nothing to remove is fine
}

TEST(AutostartEntry, DisabledEntriesDoNotCount) {
  TemporaryDirectory directory;
  const std::string entry = (directory.path() / "k.desktop").string();
  std::ofstream(entry) << "[Desktop Entry]\nExec=/usr/bin/kelvoma\nHidden=true\n";
  EXPECT_EQ(Autostart(entry, "/usr/bin/kelvoma").status(), LoginItemStatus::notRegistered);
  std::ofstream(entry) << "[Desktop Entry]\nExec=/usr/bin/kelvoma --background\n";
  EXPECT_EQ(Autostart(entry, "/usr/bin/kelvoma").status(), LoginItemStatus::enabled);
  std::ofstream(entry)
      << "[Desktop Entry]\nExec=/usr/bin/kelvoma\n";  // written before --background
  EXPECT_EQ(Autostart(entry, "/usr/bin/kelvoma").status(), LoginItemStatus::enabled);
}

TEST(AutostartEntry, AFolderThatCannotBeMadeIsAnError) {
  TemporaryDirectory directory;
  const fs::path blocker = directory.path() / "autostart";
  std::ofstream(blocker) << "a file where the folder should be";
  const Autostart autostart((blocker / "k.desktop").string(), "/usr/bin/kelvoma");
  const auto result = autostart.enable();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "Položku automatického spuštění se nepodařilo zapsat.");
}

TEST(AutostartEntry, ExecLineQuoting) {
  const std::pair<const char*, const char*> cases[] = {
      {"/usr/bin/kelvoma", "/usr/bin/kelvoma"},
      {"/usr/bin/kelvoma --background", "/usr/bin/kelvoma"},
      {"\"/opt/my apps/kelvoma\" %U", "/opt/my apps/kelvoma"},
      {"\"/opt/a\\\\b\\$c\"", "/opt/a\\b$c"},
      {"/usr/bin/env \"/opt/100%% a\\\\\\\\b/k\" --background", "/opt/100% a\\b/k"},
      {"", ""},
  };
  for (const auto& [exec, program] : cases) {
    EXPECT_EQ(programOfExecValue(exec), program) << exec;
  }
  for (const char* program : {"/usr/bin/kelvoma", "/opt/my \"apps\"/k$`\\", "/opt/50%/k"}) {
    EXPECT_EQ(programOfExecValue(*execValue({program, "--background"})), program);
  }
}

// ---- The system version -------------------------------------------------------------

TEST(SystemVersionText, FirstThreeNumbersOfTheKernelRelease) {
  struct Case {
    const char* release;
    long major, minor, patch;
  };
  const Case cases[] = {
      {"6.1.0-18-amd64", 6, 1, 0},
      {"5.15.133.1-microsoft-standard-WSL2", 5, 15, 133},
      {"6.8", 6, 8, 0},
      {"4.19.0+", 4, 19, 0},
      {"weird", 0, 0, 0},
      {"", 0, 0, 0},
  };
  for (const Case& each : cases) {
    const SystemVersion version = parseKernelRelease(each.release);
    EXPECT_EQ(version.major, each.major) << each.release;
    EXPECT_EQ(version.minor, each.minor) << each.release;
    EXPECT_EQ(version.patch, each.patch) << each.release;
  }
  EXPECT_GT(runningSystemVersion().major, 0);
}

}  // namespace
}  // namespace kelvoma::app::system
