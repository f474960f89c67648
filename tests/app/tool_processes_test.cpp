// Real tool processes through the Qt platform and the controller: launched in
// the background, seen running under /proc, asked to quit with SIGTERM, and
// the stop callback's answers within a short deadline.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <QApplication>
#include <QLabel>
#include <QTemporaryDir>
#include <QThread>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <sstream>
#include <thread>

#include "controller.h"
#include "fake_core.h"
#include "kelvoma/bundle_program.h"
#include "manager_window.h"
#include "qt_platform.h"

extern char** environ;

namespace kelvoma::app::qt {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class ToolProcesses : public ::testing::Test {
 protected:
  QTemporaryDir home;
  testing::FakeCore core;
  std::unique_ptr<QtPlatform> platform;
  std::unique_ptr<Kelvoma> controller;
  fs::path bundle;
  fs::path log;

  void SetUp() override {
    ASSERT_TRUE(home.isValid());
    setenv("HOME", home.path().toUtf8().constData(), 1);
    log = fs::path(home.path().toStdString()) / "tool.log";
    setenv("KELVOMA_FIXTURE_TOOL_LOG", log.c_str(), 1);
    unsetenv("KELVOMA_FIXTURE_TOOL_IGNORE_SIGTERM");
    setenv("XDG_ACTIVATION_TOKEN", "kelvoma-own-start", 1);  // not for the tools it starts
    bundle = fs::path(home.path().toStdString()) / "Applications" / "Pane Keeper.app";
    fs::create_directories(bundle / "Contents/MacOS");
    fs::copy_file(KELVOMA_TOOL_EXE, bundle / "Contents/MacOS/fixture-tool");
    std::ofstream(bundle / "Contents/Info.plist")
        << R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)"
        << "<key>CFBundleIdentifier</key><string>cz.tobranix.pane-keeper</string>"
        << "<key>CFBundleExecutable</key><string>fixture-tool</string>"
        << "<key>CFBundleVersion</key><string>4</string>"
        << "<key>CFBundleShortVersionString</key><string>1.0</string></dict></plist>";
  }

  void TearDown() override {
    // Whatever the test left running ends here.
    for (const int pid : loggedPids()) {
      kill(pid, SIGKILL);
    }
    if (platform) {
      platform->waitForWorkers();
    }
    controller.reset();
    platform.reset();
  }

  void start(Timing timing) {
    QtPlatformOptions options;
    options.arguments = {"kelvoma", "--background"};
    options.configDirectory = (home.path() + "/.config").toStdString();
    options.dataDirectory = (home.path() + "/.local/share").toStdString();
    platform = std::make_unique<QtPlatform>(options);
    platform->writeSetting("cz.tobranix.tools-manager", "automaticChecks", false);
    platform->writeSetting("cz.tobranix.tools-manager", "enabled.pane-keeper", false);
    controller = std::make_unique<Kelvoma>(platformOf(*platform), core.core(), timing);
    platform->setDelegate(controller.get());
    controller->applicationDidFinishLaunching();
  }

  std::vector<int> loggedPids() {
    std::vector<int> pids;
    std::ifstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
      pids.push_back(std::stoi(line));
    }
    return pids;
  }

  std::string loggedArguments() {
    std::ifstream lines(log);
    std::string line;
    std::getline(lines, line);
    return line.substr(line.find('\t') == std::string::npos ? line.size() : line.find('\t') + 1);
  }

  // Pumps the event loop until the condition holds or the time is up.
  template <typename Condition>
  bool within(std::chrono::milliseconds limit, Condition condition) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
      QApplication::processEvents(QEventLoop::AllEvents, 20);
      if (condition()) {
        return true;
      }
      QThread::msleep(10);
    }
    return condition();
  }

  std::size_t runningCount() {
    return controller->snapshotOf(*controller->tool("pane-keeper")).runningCount;
  }

  // The stop callback on a thread of its own, as the installation calls it,
  // while the main thread goes on with its events.
  std::int32_t stopFromWorker() {
    const std::string path = bundle.string();
    auto answer = std::async(std::launch::async, [&] {
      return controller->stopRunningTool("pane-keeper", path.c_str());
    });
    while (answer.wait_for(10ms) != std::future_status::ready) {
      QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return answer.get();
  }

  static Sender toggle() {
    return Sender{.kind = Sender::Kind::control,
                  .representedObject = {},
                  .identifier = "pane-keeper",
                  .on = true};
  }
};

TEST_F(ToolProcesses, SwitchedOnInTheBackgroundAndOffWithSigterm) {
  start({});
  controller->perform(Action::toggleTool, toggle());
  // Seen under /proc a moment before the tool has written its line.
  ASSERT_TRUE(within(5s, [&] { return runningCount() == 1 && !loggedPids().empty(); }));
  EXPECT_EQ(loggedArguments(), "--background");
  controller->refresh();
  EXPECT_EQ(platform->readSetting("cz.tobranix.tools-manager", "enabled.pane-keeper"),
            SettingValue(true));

  // Switching on again does not start a second copy.
  controller->openTool(*controller->tool("pane-keeper"), Opening::background);
  QApplication::processEvents();
  EXPECT_EQ(loggedPids().size(), 1u);

  controller->perform(Action::toggleTool, toggle());
  EXPECT_TRUE(within(5s, [&] { return runningCount() == 0; }));
}

TEST_F(ToolProcesses, StopCallbackZeroThenOneWhenTheToolQuits) {
  start({.stopDeadline = 5.0});
  EXPECT_EQ(stopFromWorker(), 0);
  controller->perform(Action::toggleTool, toggle());
  ASSERT_TRUE(within(5s, [&] { return runningCount() == 1; }));
  EXPECT_EQ(stopFromWorker(), 1);
  EXPECT_EQ(runningCount(), 0u);
}

TEST_F(ToolProcesses, StopCallbackGivesUpOnAToolThatIgnoresTheRequest) {
  setenv("KELVOMA_FIXTURE_TOOL_IGNORE_SIGTERM", "1", 1);
  start({.stopDeadline = 1.0});
  controller->perform(Action::toggleTool, toggle());
  ASSERT_TRUE(within(5s, [&] { return runningCount() == 1 && !loggedPids().empty(); }));
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(stopFromWorker(), -1);
  const auto waited = std::chrono::steady_clock::now() - before;
  EXPECT_GE(waited, 1s);
  EXPECT_LT(waited, 3s);
  EXPECT_EQ(runningCount(), 1u);  // never forced
}

// By hand, between refreshes: the row follows within two refreshes.
TEST_F(ToolProcesses, StartsAndEndsByHandShowWithinTwoRefreshes) {
  const fs::path elsewhere = fs::path(home.path().toStdString()) / "Tools" / "Pane Keeper.app";
  std::vector<pid_t> started;
  auto startByHand = [&](const fs::path& copy) {
    std::string program = (copy / bundle_program::place_for(AT_FDCWD, copy.string(), "fixture-tool",
                                                            bundle_program::this_processor))
                              .string();
    char* argv[] = {program.data(), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ), 0);
    started.push_back(pid);
  };
  auto killByHand = [&] {
    for (const pid_t pid : started) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    started.clear();
  };
  struct Case {
    const char* name;
    std::function<void()> byHand;
    const char* state;
  };
  const Case cases[] = {
      {.name = "started", .byHand = [&] { startByHand(bundle); }, .state = "Běží"},
      {.name = "killed", .byHand = killByHand, .state = "Vypnuto"},
      {.name = "stopped for an update just after a start",
       .byHand =
           [&] {
             startByHand(bundle);
             EXPECT_EQ(stopFromWorker(), 1);
             waitpid(started.back(), nullptr, 0);
             started.clear();
           },
       .state = "Vypnuto"},
      {.name = "adopted copy outside the two folders",
       .byHand =
           [&] {
             fs::create_directories(elsewhere.parent_path());
             fs::copy(bundle, elsewhere, fs::copy_options::recursive);
             platform->writeSetting("cz.tobranix.tools-manager", "applicationPath.pane-keeper",
                                    elsewhere.string());
             startByHand(elsewhere);
           },
       .state = "Běží"},
      {.name = "renamed aside by an update, a new copy in its place",
       .byHand =
           [&] {
             fs::rename(elsewhere, elsewhere.parent_path() / "previous.app");
             fs::copy(bundle, elsewhere, fs::copy_options::recursive);
           },
       .state = "Vypnuto"},
      {.name = "the new copy started", .byHand = [&] { startByHand(elsewhere); }, .state = "Běží"},
      {.name = "made universal, started from this processor's folder",
       .byHand =
           [&] {
             killByHand();
             const fs::path programs = elsewhere / "Contents/MacOS";
             fs::create_directory(programs / bundle_program::this_processor);
             fs::rename(programs / "fixture-tool",
                        programs / bundle_program::this_processor / "fixture-tool");
             startByHand(elsewhere);
           },
       .state = "Běží"},
      {.name = "the universal copy killed", .byHand = killByHand, .state = "Vypnuto"},
      {.name = "the universal copy switched on",
       .byHand = [&] { controller->perform(Action::toggleTool, toggle()); },
       .state = "Běží"},
  };
  start({.stopDeadline = 5.0});
  const auto* state = qobject_cast<QLabel*>(
      platform->window()->control(controller->rows().at("pane-keeper").state));
  ASSERT_NE(state, nullptr);
  for (const Case& each : cases) {
    each.byHand();
    EXPECT_TRUE(within(2200ms, [&] { return state->text() == QString::fromUtf8(each.state); }))
        << each.name;
  }
  killByHand();
  // The tool's menu entry starts what the switch started.
  std::ifstream entry(home.path().toStdString() +
                      "/.local/share/applications/cz.tobranix.kelvoma.pane_keeper.desktop");
  const std::string text{std::istreambuf_iterator<char>(entry), {}};
  EXPECT_NE(text.find("/Contents/MacOS/" + std::string(bundle_program::this_processor) +
                      "/fixture-tool\" --background"),
            std::string::npos)
      << text;
}

}  // namespace
}  // namespace kelvoma::app::qt

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
