// The flows on top of the shell: switching tools, checks, installing and
// adopting, launch at login; driven through the fake platform and its clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "harness.h"

namespace kelvoma::app::testing {
namespace {

constexpr const char* kStillQuitting =
    "Nástroj právě dokončuje práci. Zkus vypnutí znovu za chvíli.";

class Activation : public ControllerHarness {
 protected:
  void SetUp() override { automaticChecksOff(); }
};

TEST_F(Activation, SwitchingOnLaunchesInTheBackgroundAndRemembers) {
  install(kOrbit);
  platform.settings[kDomain]["enabled.orbit-action-dial"] = false;
  start();
  controller->perform(Action::toggleTool, controlSender(kOrbit, true));
  ASSERT_EQ(platform.launches.size(), 1u);
  EXPECT_EQ(platform.launches[0].bundlePath, systemPath(kOrbit));
  EXPECT_EQ(platform.launches[0].config,
            (LaunchConfiguration{.arguments = {"--background"}, .activates = false}));
  EXPECT_EQ(setting("enabled.orbit-action-dial"), SettingValue(true));
  EXPECT_EQ(platform.posted.back(), std::make_pair(std::string("KelvomaManagementChanged"),
                                                   std::string("cz.tobranix.orbit-action-dial")));
}

TEST_F(Activation, SwitchingOffAsksEveryInstanceAndSaysNothingWhenTheyQuit) {
  install(kOrbit);
  const auto first = run(kOrbit);
  platform.symlinks["/Applications/Link.app"] = systemPath(kOrbit);
  const auto second = run(kOrbit, "/Applications/Link.app");
  start();
  controller->perform(Action::toggleTool, controlSender(kOrbit, false));
  EXPECT_THAT(platform.terminateRequests, ::testing::UnorderedElementsAre(first, second));
  EXPECT_EQ(setting("enabled.orbit-action-dial"), SettingValue(false));
  EXPECT_EQ(control(row(kOrbit).state).text, "Vypnuto");
  platform.advance(3.0);
  EXPECT_EQ(control(row(kOrbit).message).text, "");
}

TEST_F(Activation, AQuitStillRunningAfterTwoSecondsIsReported) {
  install(kOrbit);
  run(kOrbit);
  platform.quitOnTerminate = false;
  start();
  platform.launches.clear();  // the start-up re-applied the running state
  controller->perform(Action::toggleTool, menuSender(kOrbit));
  platform.advance(1.9);
  EXPECT_EQ(control(row(kOrbit).message).text, "");
  platform.advance(0.1);
  EXPECT_EQ(control(row(kOrbit).message).text, kStillQuitting);
  EXPECT_EQ(control(row(kOrbit).message).toolTip, std::optional<std::string>(kStillQuitting));
  EXPECT_EQ(setting("enabled.orbit-action-dial"), SettingValue(false));
  EXPECT_EQ(platform.launches.size(), 0u);
}

TEST_F(Activation, ALaunchErrorRestoresTheEarlierChoice) {
  for (const bool earlier : {false, true}) {
    platform = FakePlatform();
    automaticChecksOff();
    install(kPane);
    platform.settings[kDomain]["enabled.pane-keeper"] = earlier;
    platform.launchAnswer = LaunchResult{"Aplikaci se nepodařilo spustit.", false};
    start({"kelvoma", "--background"});
    platform.launches.clear();
    controller->perform(Action::toggleTool, menuSender(kPane));
    EXPECT_EQ(setting("enabled.pane-keeper"), SettingValue(true));  // until the answer comes
    platform.drainMain();
    EXPECT_EQ(setting("enabled.pane-keeper"), SettingValue(earlier));
    EXPECT_EQ(control(row(kPane).message).text, "Aplikaci se nepodařilo spustit.");
  }
}

TEST_F(Activation, SettingsOfASwitchedOffToolSwitchItOn) {
  install(kPane);
  platform.settings[kDomain]["enabled.pane-keeper"] = false;
  start();
  controller->perform(Action::settingsTool, controlSender(kPane));
  ASSERT_EQ(platform.launches.size(), 1u);
  EXPECT_EQ(platform.launches[0].config,
            (LaunchConfiguration{.arguments = {"--settings"}, .activates = true}));
  platform.drainMain();
  EXPECT_EQ(setting("enabled.pane-keeper"), SettingValue(true));
}

TEST_F(Activation, AnExternalToolIsLaunchedWithoutArgumentsAndActivated) {
  install(kClip);
  platform.settings[kDomain]["enabled.clip-ledger"] = false;
  start();
  controller->perform(Action::toggleTool, menuSender(kClip));
  controller->perform(Action::settingsTool, menuSender(kClip));
  ASSERT_EQ(platform.launches.size(), 2u);
  for (const Launch& each : platform.launches) {
    EXPECT_EQ(each.config, (LaunchConfiguration{.arguments = {}, .activates = true}));
  }
  // External tools manage themselves: no management flag.
  EXPECT_EQ(setting("managedByKelvoma", "cz.tobranix.clip-ledger"), std::nullopt);
}

TEST_F(Activation, NothingHappensToABusyOrMissingTool) {
  start();
  controller->perform(Action::installTool, menuSender(kOrbit));  // busy now
  install(kOrbit);
  run(kOrbit);
  const int menus = platform.menusSet;
  controller->perform(Action::toggleTool, menuSender(kOrbit));
  EXPECT_TRUE(platform.terminateRequests.empty());
  EXPECT_EQ(platform.menusSet, menus);                     // not even a refresh
  controller->openTool(tool(kPane), Opening::background);  // not installed
  EXPECT_TRUE(platform.launches.empty());
}

// ---- The stop callback ------------------------------------------------------------

class StopCallback : public ControllerHarness {
 protected:
  void SetUp() override {
    automaticChecksOff();
    install(kOrbit);
    installAt(homePath(kOrbit), kOrbit);
  }
};

TEST_F(StopCallback, NothingRunningFromThatPathIsZeroAtOnce) {
  const auto elsewhere = run(kOrbit, homePath(kOrbit));
  start();
  const double before = platform.now;
  EXPECT_EQ(controller->stopRunningTool(kOrbit, systemPath(kOrbit).c_str()), 0);
  EXPECT_EQ(platform.now, before);
  EXPECT_TRUE(platform.terminateRequests.empty());  // the other copy is left alone
  EXPECT_EQ(controller->stopRunningTool("unknown", systemPath(kOrbit).c_str()), 0);
  EXPECT_EQ(controller->stopRunningTool(nullptr, nullptr), 0);
  EXPECT_EQ(core.outstanding(), 0u);
  (void)elsewhere;
}

TEST_F(StopCallback, OneAsSoonAsAllHaveQuit) {
  const auto process = run(kOrbit);
  platform.quitOnTerminate = false;
  start();
  const double before = platform.now;
  platform.onSleep = [&] {
    if (platform.now - before >= 3.0) {
      std::erase(platform.running, process);
    }
  };
  EXPECT_EQ(controller->stopRunningTool(kOrbit, systemPath(kOrbit).c_str()), 1);
  EXPECT_EQ(platform.terminateRequests.size(), 1u);
  EXPECT_NEAR(platform.now - before, 3.0, 0.051);
}

TEST_F(StopCallback, MinusOneAfterTheDeadline) {
  run(kOrbit);
  platform.quitOnTerminate = false;
  start();
  const double before = platform.now;
  EXPECT_EQ(controller->stopRunningTool(kOrbit, systemPath(kOrbit).c_str()), -1);
  EXPECT_GE(platform.now - before, 12.0);
  EXPECT_LT(platform.now - before, 12.06);
}

TEST_F(StopCallback, ReachedThroughTheInstallation) {
  run(kOrbit);
  core.installCallsStop = true;
  core.installAnswers[kOrbit] = R"({"ok":true,"relaunch":true})";
  core.checkAnswers[kOrbit] = R"({"available":true,"build":6,"ok":true,"version":"1.3"})";
  start();
  platform.launches.clear();  // the start-up re-applied the running state
  controller->perform(Action::checkAll, {});
  platform.runWorkers();
  controller->perform(Action::installTool, menuSender(kOrbit));
  platform.runWorkers();
  ASSERT_EQ(core.installs.size(), 1u);
  EXPECT_EQ(core.installs[0].targetPath, systemPath(kOrbit));
  EXPECT_EQ(core.installs[0].stopResult, 1);
  ASSERT_EQ(platform.launches.size(), 1u);  // relaunched
  EXPECT_EQ(platform.launches[0].config.arguments, std::vector<std::string>{"--background"});
}

// ---- Checks -----------------------------------------------------------------------

class Checks : public ControllerHarness {
 protected:
  void SetUp() override { automaticChecksOff(); }
};

TEST_F(Checks, CompletionMessagesAndRecords) {
  struct Case {
    const char* answer;
    const char* message;
    std::optional<std::string> toolTip;
    const char* install;
    std::vector<std::string> notesAsked{};  // "build version" of each notes request
    std::optional<std::string> notes{};     // shown in the panel; nullopt: no "Co je nového"
  };
  const std::string update = R"({"available":true,"build":9,"ok":true,"version":"2.0"})";
  const Case cases[] = {
      {update.c_str(),
       "Zkontrolováno ve 14:05 · Nová verze je připravená ke stažení.",
       "Zkontrolováno ve 14:05 · Nová verze je připravená ke stažení.",
       "Aktualizovat",
       {"9 2.0"},
       "<b>Nový</b> ciferník\nobráceně"},  // markup shown as it is, no override
      {R"({"available":true,"build":10,"ok":true,"version":"3.0"})",
       "Zkontrolováno ve 14:05 · Nová verze je připravená ke stažení.",
       "Zkontrolováno ve 14:05 · Nová verze je připravená ke stažení.",
       "Aktualizovat",
       {"10 3.0"}},
      {R"({"available":false,"build":5,"ok":true,"version":"1.2.0"})",
       "Zkontrolováno ve 14:05 · Máš nejnovější dostupnou verzi.",
       "Zkontrolováno ve 14:05 · Máš nejnovější dostupnou verzi.", "Aktuální verze"},
      {R"({"error":"Podpis vydání nesouhlasí.","ok":false})",
       "Kontrola ve 14:05 se nepodařila: Podpis vydání nesouhlasí.",
       "Kontrola ve 14:05 se nepodařila: Podpis vydání nesouhlasí.", "Zkontrolovat"},
      {"<html>not json</html>", "Kontrola ve 14:05 se nepodařila.",
       "Kontrola ve 14:05 se nepodařila.", "Zkontrolovat"},
  };
  // Notes exist for build 9 only; for build 10 the core answers an error.
  core.notesAnswers[kOrbit] =
      R"({"ok":true,"text":"<b>Nový</b> ciferník\r\n\u202eobráceně\u0007"})";
  for (const Case& each : cases) {
    platform = FakePlatform();
    automaticChecksOff();
    install(kOrbit);
    core.checkAnswers[kOrbit] = each.answer;
    start();
    controller->perform(Action::checkAll, {});
    EXPECT_EQ(control(row(kOrbit).message).text, "Hledám nové vydání…");
    platform.runWorkers();
    EXPECT_EQ(control(row(kOrbit).message).text, each.message) << each.answer;
    EXPECT_EQ(control(row(kOrbit).message).toolTip, each.toolTip) << each.answer;
    EXPECT_EQ(control(row(kOrbit).install).text, each.install) << each.answer;
    EXPECT_TRUE(control(row(kOrbit).notes).hidden) << "the update never waits for its notes";
    platform.runWorkers();
    EXPECT_EQ(core.notesCalls, each.notesAsked) << each.answer;
    EXPECT_EQ(control(row(kOrbit).notes).hidden, !each.notes) << each.answer;
    controller->perform(Action::showNotes, controlSender(kOrbit, false));
    EXPECT_EQ(platform.textPanels.empty(), !each.notes) << each.answer;
    if (each.notes) {
      EXPECT_EQ(platform.textPanels.back().text, *each.notes);
      EXPECT_EQ(platform.textPanels.back().title, "Co je nového – Orbit Action Dial 2.0");
    }
    ASSERT_TRUE(controller->releases().contains(kOrbit));
    EXPECT_TRUE(controller->checking().empty());
    core.notesCalls.clear();
  }
  EXPECT_EQ(controller->releases().at(kOrbit), checkAnswerOf(Document::object()));
  EXPECT_EQ(core.outstanding(), 0u);
}

TEST_F(Checks, ASecondFailedCheckSaysItsOwnTime) {
  install(kOrbit);
  start({"kelvoma"}, Timing{});
  controller->perform(Action::checkAll, {});
  platform.runWorkers();
  platform.advance(1);
  platform.wallClock = {9, 30};
  controller->perform(Action::checkAll, {});
  platform.runWorkers();
  // A check that fails at once is still seen to run.
  EXPECT_EQ(control(row(kOrbit).message).text, "Hledám nové vydání…");
  platform.advance(0.6);
  EXPECT_EQ(control(row(kOrbit).message).text, "Kontrola v 9:30 se nepodařila: Síť není dostupná.");
  EXPECT_EQ(platform.statusToolTip,
            "Kelvoma · správce nástrojů\nKontrola se nepodařila: Orbit Action Dial\n"
            "Kontrola se nepodařila: Pane Keeper");
}

// Desktop notices: which checks and installations post one (the real bus
// and the rest of the cases: status_notifier_test.cpp).
TEST_F(Checks, NoticesOfNewReleasesAndEndedInstallations) {
  struct Case {
    const char* name;
    std::optional<Action> action;  // none: the hourly timer
    Sender sender;
    const char* answer;  // of the check or the installation
    bool windowOnScreen;
    const char* summary;  // of the one notice posted, if any
    bool attention;
  };
  const char* failed = R"({"error":"Stažení se nepodařilo.","ok":false})";
  const Case cases[] = {
      {"an update found by the hourly check",
       std::nullopt,
       {},
       R"({"available":true,"build":9,"ok":true,"version":"2.0.0"})",
       false,
       "Nová verze je připravená ke stažení",
       true},
      {"a check from the window", Action::checkAll, controlSender(kOrbit),
       R"({"available":true,"build":9,"ok":true,"version":"2.0.0"})", true, nullptr, false},
      {"failed with the window closed", Action::installTool, menuSender(kPane), failed, false,
       "Instalace nástroje Pane Keeper se nepodařila", true},
      {"failed in front of the user", Action::installTool, controlSender(kPane), failed, true,
       nullptr, false},
  };
  for (const Case& each : cases) {
    platform = FakePlatform();
    automaticChecksOff();
    install(kOrbit);
    start();
    platform.windowOnScreen = each.windowOnScreen;
    core.checkAnswers[kOrbit] = core.installAnswers[kPane] = each.answer;
    if (each.action) {
      controller->perform(*each.action, each.sender);
    } else {
      platform.settings[kDomain]["automaticChecks"] = true;
      platform.advance(3600);
    }
    platform.runWorkers();
    EXPECT_EQ(platform.statusNeedsAttention, each.attention) << each.name;
    ASSERT_EQ(platform.notices.size(), each.summary ? 1u : 0u) << each.name;
    if (each.summary) {
      EXPECT_EQ(platform.notices[0].notice.summary, each.summary) << each.name;
      platform.windowOnScreen = false;
      platform.invokeNotice(platform.notices[0].notice.topic);
      EXPECT_TRUE(platform.windowOnScreen) << each.name << ": the notice opens the window";
      // Seen once the window opens.
      EXPECT_FALSE(platform.statusNeedsAttention) << each.name;
    }
  }
}

TEST_F(Checks, AnInstalledVersionIsAnnouncedAgainWhenANewerOneComes) {
  install(kOrbit);
  start();
  platform.windowOnScreen = false;
  core.checkAnswers[kOrbit] = R"({"available":true,"build":9,"ok":true,"version":"2.0.0"})";
  controller->perform(Action::checkAll, menuSender(kOrbit));
  platform.runWorkers();
  core.installAnswers[kOrbit] = R"({"ok":true,"relaunch":false})";
  controller->perform(Action::installTool, menuSender(kOrbit));
  install(kOrbit, "9", "2.0.0");  // what the installation puts in place
  platform.runWorkers();
  core.checkAnswers[kOrbit] = R"({"available":true,"build":12,"ok":true,"version":"2.1.0"})";
  controller->perform(Action::checkAll, menuSender(kOrbit));
  platform.runWorkers();
  ASSERT_EQ(platform.notices.size(), 3u);
  EXPECT_EQ(platform.notices[1].notice.summary, "Orbit Action Dial 2.0.0 je nainstalovaný.");
  EXPECT_EQ(platform.notices[2].notice.body, "Orbit Action Dial 2.1.0");
  EXPECT_EQ(platform.notices[2].notice.topic, platform.notices[0].notice.topic);
}

TEST_F(Checks, TheNoticeOfAnUpdateCarriesTheFirstLineOfItsNotesOnce) {
  install(kOrbit);
  start();
  platform.windowOnScreen = false;
  core.checkAnswers[kOrbit] = R"({"available":true,"build":9,"ok":true,"version":"2.0.0"})";
  core.notesAnswers[kOrbit] = R"({"ok":true,"text":"\n  Nový ciferník.\nOpravy."})";
  for (int round = 0; round < 2; ++round) {
    controller->perform(Action::checkAll, menuSender(kOrbit));
    platform.runWorkers();  // the check: announced at once, without notes
    platform.runWorkers();  // the notes: the same notice in its place, with their first line
  }
  ASSERT_EQ(platform.notices.size(), 2u);
  EXPECT_EQ(platform.notices[1].notice.topic, platform.notices[0].notice.topic);
  EXPECT_EQ(platform.notices[1].notice.body, "Orbit Action Dial 2.0.0: Nový ciferník.");
}

TEST_F(Checks, TwoQuickRequestsStartOneCheckPerTool) {
  start();
  controller->perform(Action::checkAll, {});
  controller->perform(Action::checkAll, {});
  EXPECT_EQ(platform.pendingWorkers(), 2u);
  platform.runWorkers();
  EXPECT_EQ(core.checks.size(), 2u);
}

TEST_F(Checks, ABusyToolIsSkippedTheOthersGoAhead) {
  start();
  controller->perform(Action::installTool, menuSender(kOrbit));
  controller->perform(Action::checkAll, {});
  EXPECT_EQ(controller->checking(), std::set<std::string>{kPane});
}

TEST_F(Checks, TheInstalledBuildGoesOverAsItsSixtyFourBits) {
  install(kOrbit, "-1");
  install(kPane, "41.2");
  start();
  controller->perform(Action::checkAll, {});
  platform.runWorkers();
  ASSERT_EQ(core.checks.size(), 2u);
  EXPECT_EQ(core.checks[0].installedBuild, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(core.checks[1].installedBuild, 41u);
}

TEST_F(Checks, TheSignalChecksEvenWithAutomaticChecksOff) {
  start({"kelvoma", "--background"});
  platform.deliver("KelvomaCheckUpdates");
  EXPECT_EQ(platform.windowShows, 1);
  EXPECT_EQ(platform.pendingWorkers(), 2u);
}

TEST_F(Checks, HourlyOnlyWhileAutomaticChecksAreOn) {
  start();
  platform.advance(3600);
  EXPECT_EQ(platform.pendingWorkers(), 0u);
  controller->perform(Action::changeAutomatic, controlSender("", true));
  EXPECT_EQ(setting("automaticChecks"), SettingValue(true));
  platform.advance(3599);
  EXPECT_EQ(platform.pendingWorkers(), 0u);
  platform.advance(1);
  EXPECT_EQ(platform.pendingWorkers(), 2u);
}

// ---- Installing and adopting ------------------------------------------------------

class Installing : public ControllerHarness {
 protected:
  void SetUp() override { automaticChecksOff(); }
};

TEST_F(Installing, NotInstalledInstallsAtOnceIntoTheWritableFolder) {
  for (const bool systemWritable : {true, false}) {
    platform = FakePlatform();
    automaticChecksOff();
    if (systemWritable) {
      platform.writable.insert("/Applications");
    }
    core.installs.clear();
    core.installAnswers[kPane] = R"({"ok":true,"relaunch":false})";
    start();
    controller->perform(Action::installTool, controlSender(kPane));
    EXPECT_TRUE(controller->busy().contains(kPane));
    EXPECT_EQ(control(row(kPane).message).text, "Stahuji a ověřuji balíček…");
    EXPECT_EQ(control(row(kPane).install).text, "Pracuji…");
    platform.runWorkers();
    ASSERT_EQ(core.installs.size(), 1u);
    EXPECT_EQ(core.installs[0].targetPath, systemWritable ? systemPath(kPane) : homePath(kPane));
    EXPECT_EQ(core.installs[0].osVersion, "6.1.0");
    EXPECT_TRUE(core.checks.empty());
    EXPECT_FALSE(controller->busy().contains(kPane));
    EXPECT_EQ(control(row(kPane).message).text, "Nainstalováno.");
    EXPECT_TRUE(platform.launches.empty());  // no relaunch asked for
    EXPECT_EQ(setting("managedByKelvoma", "cz.tobranix.pane-keeper"), SettingValue(true));
  }
}

TEST_F(Installing, AtStartACopyLeftAsideComesBackBeforeTheFirstCheck) {
  platform.settings[kDomain]["automaticChecks"] = true;
  platform.settings[kDomain]["enabled.orbit-action-dial"] = true;
  core.recovers = true;
  core.recoverAnswers[kOrbit] = R"({"ok":true,"recovered":true})";
  core.onRecover = [&](const std::string& id) {
    if (id == kOrbit) install(kOrbit);
  };
  start();
  EXPECT_EQ(controller->busy(), (std::set<std::string>{kOrbit, kPane, kClip}));
  controller->perform(Action::installTool, controlSender(kOrbit));
  EXPECT_FALSE(controller->applicationShouldTerminate());
  platform.runWorkers();
  EXPECT_EQ(core.recoveries, (std::vector<std::string>{kOrbit, kPane, kClip}));
  EXPECT_TRUE(core.installs.empty());
  EXPECT_TRUE(core.checks.empty());
  EXPECT_TRUE(controller->busy().empty());
  EXPECT_EQ(control(row(kOrbit).state).text, "Vypnuto");
  EXPECT_EQ(platform.launches.size(), 1u);  // switched on, so started once it is back
  platform.runWorkers();
  ASSERT_EQ(core.checks.size(), 2u);
  EXPECT_EQ(core.checks[0].installedBuild, 5u);
}

TEST_F(Installing, FoundUpdatesInstallThemselvesOnlyWhenTheToolMayBeTouched) {
  struct Case {
    const char* name;
    bool automatic;
    bool running;  // switched on and running when the update is found
    bool metered;
    const char* message;  // the row's message once the check is in
    std::size_t installsAtOnce;
    std::size_t installsAfterItQuits;  // by itself, then one refresh tick
  };
  const Case cases[] = {
      {"off", false, false, false, "Zkontrolováno ve 14:05 · Nová verze je připravená ke stažení.",
       0, 0},
      {"not running", true, false, false, "Stahuji a ověřuji balíček…", 1, 1},
      {"running", true, true, false, "Aktualizace se nainstaluje, až nástroj přestane běžet.", 0,
       1},
      {"metered", true, false, true, "Aktualizace počká na připojení bez omezení dat.", 0, 0},
  };
  for (const Case& each : cases) {
    platform = FakePlatform();
    automaticChecksOff();
    platform.settings[kDomain]["automaticInstall"] = each.automatic;
    platform.meteredConnection = each.metered;
    core.installs.clear();
    core.checkAnswers[kOrbit] = R"({"available":true,"build":9,"ok":true,"version":"2.0"})";
    core.installAnswers[kOrbit] = R"({"ok":true,"relaunch":false})";
    install(kOrbit);
    if (each.running) {
      run(kOrbit);
    }
    start();
    const std::size_t launchesAtStart = platform.launches.size();
    controller->perform(Action::checkAll, {});
    platform.runWorkers();  // the check; an installation it starts is queued
    EXPECT_EQ(control(row(kOrbit).message).text, each.message) << each.name;
    platform.runWorkers();
    EXPECT_EQ(core.installs.size(), each.installsAtOnce) << each.name;
    platform.running.clear();
    platform.advance(1);
    platform.runWorkers();
    EXPECT_EQ(core.installs.size(), each.installsAfterItQuits) << each.name;
    // A tool that quit by itself is left stopped after its update.
    EXPECT_EQ(platform.launches.size(), launchesAtStart) << each.name;
    EXPECT_EQ(global(&WindowLayout::automaticInstall).on, each.automatic) << each.name;
  }
}

TEST_F(Installing, AnUpdateLeftWaitingForItsToolIsInstalledAtStartBeforeTheToolStarts) {
  auto& stored = platform.settings[kDomain];
  stored["automaticChecks"] = true;
  stored["automaticInstall"] = true;
  stored["enabled.orbit-action-dial"] = true;
  stored["automaticInstallPending.orbit-action-dial"] = true;
  core.checkAnswers[kOrbit] = R"({"available":true,"build":9,"ok":true,"version":"2.0"})";
  core.installAnswers[kOrbit] = R"({"ok":true,"relaunch":false})";
  install(kOrbit);
  start();
  EXPECT_TRUE(platform.launches.empty());
  platform.runWorkers();  // the check
  platform.runWorkers();  // the installation it started
  EXPECT_EQ(core.installs.size(), 1u);
  EXPECT_EQ(platform.launches.size(), 1u);
  EXPECT_EQ(setting("automaticInstallPending.orbit-action-dial"), SettingValue(false));
}

TEST_F(Installing, InstalledWithoutASuccessfulCheckChecksInstead) {
  install(kOrbit);
  start();
  controller->perform(Action::installTool, menuSender(kOrbit));
  EXPECT_TRUE(controller->busy().empty());
  EXPECT_EQ(controller->checking(), (std::set<std::string>{kOrbit, kPane}));
}

TEST_F(Installing, InstalledExternalToolOpensTheAdoptionPanel) {
  for (const bool systemFolder : {true, false}) {
    platform = FakePlatform();
    automaticChecksOff();
    if (systemFolder) {
      platform.directories.insert("/Applications");
    }
    install(kClip);
    start({"kelvoma", "--background"});
    controller->perform(Action::installTool, controlSender(kClip));
    ASSERT_TRUE(platform.openPanel);
    EXPECT_EQ(platform.openPanel->title, "Přidat Clip Ledger do správy");
    EXPECT_EQ(platform.openPanel->prompt, "Přidat");
    EXPECT_EQ(platform.openPanel->directory,
              systemFolder ? "/Applications" : platform.home + "/Applications");
    EXPECT_EQ(platform.windowShows, 1);
    EXPECT_TRUE(core.installs.empty());
  }
}

TEST_F(Installing, RelaunchWithAFailureStillLaunchesTheCopyInPlace) {
  install(kOrbit);
  core.checkAnswers[kOrbit] = R"({"available":true,"build":6,"ok":true,"version":"1.3"})";
  core.installAnswers[kOrbit] = R"({"error":"Přesun se nezdařil.","ok":false,"relaunch":true})";
  start();
  controller->perform(Action::checkAll, {});
  platform.runWorkers();
  controller->perform(Action::installTool, menuSender(kOrbit));
  platform.runWorkers();
  EXPECT_EQ(control(row(kOrbit).message).text, "Přesun se nezdařil.");
  ASSERT_EQ(platform.launches.size(), 1u);
  EXPECT_EQ(platform.launches[0].config.arguments, std::vector<std::string>{"--background"});
}

TEST_F(Installing, AnExternalToolIsStartedAfterItsInstallation) {
  core.installAnswers[kClip] = R"({"ok":true,"relaunch":false})";
  start();
  controller->perform(Action::installTool, menuSender(kClip));
  install(kClip);  // the core put it in place
  platform.runWorkers();
  ASSERT_EQ(platform.launches.size(), 1u);
  EXPECT_EQ(platform.launches[0].config, (LaunchConfiguration{.arguments = {}, .activates = true}));
  platform.drainMain();
  EXPECT_EQ(setting("enabled.clip-ledger"), SettingValue(true));
}

// Reports every 10 ms reach the row at most every 100 ms; the bar goes with
// the result, a late delivery does not bring it back, and refresh leaves it.
TEST_F(Installing, ProgressAtMostTenTimesASecondGoneWithTheResult) {
  for (const bool reportsProgress : {true, false}) {
    platform = FakePlatform();
    automaticChecksOff();
    core.reportsProgress = reportsProgress;
    core.progressReports.clear();
    core.installAnswers[kPane] = R"({"ok":true,"relaunch":false})";
    for (std::uint64_t megabytes = 0; megabytes <= 50; ++megabytes) {
      core.progressReports.push_back(
          {KELVOMA_PHASE_DOWNLOADING, megabytes * 1'000'000, 50'000'000});
    }
    std::string midway;
    core.afterReport = [&, reports = 0]() mutable {
      platform.drainMain();  // the main thread runs meanwhile
      platform.advance(0.01);
      if (++reports == 30) {
        midway = control(row(kPane).progress).progress.text;
      }
    };
    start();
    controller->perform(Action::installTool, controlSender(kPane));
    const ControlState& bar = control(row(kPane).progress);
    EXPECT_FALSE(bar.hidden);
    platform.runWorkers();
    EXPECT_EQ(midway.ends_with(" MB z 50,0 MB"), reportsProgress) << midway;
    EXPECT_LE(bar.progressUpdates, 1 + 6);  // the busy bar, then at most one per 100 ms
    EXPECT_GE(bar.progressUpdates, reportsProgress ? 5 : 1);
    EXPECT_TRUE(bar.hidden);
    EXPECT_EQ(control(row(kPane).message).text, "Nainstalováno.");
    const int updates = bar.progressUpdates;
    platform.advance(1.5);  // late deliveries and a refresh
    EXPECT_TRUE(bar.hidden);
    EXPECT_EQ(bar.progressUpdates, updates);
  }
}

TEST_F(Installing, AnAnswerThatIsNotJsonFailsQuietly) {
  core.installAnswers[kPane] = "Internal error";
  start();
  controller->perform(Action::installTool, menuSender(kPane));
  platform.runWorkers();
  EXPECT_EQ(control(row(kPane).message).text, "");
  EXPECT_TRUE(platform.launches.empty());
  EXPECT_TRUE(controller->busy().empty());
}

TEST_F(Installing, AdoptingTheRightBundleRemembersItsResolvedPath) {
  platform.addBundle("/opt/apps/Clip Ledger.app", "cz.tobranix.clip-ledger", "3", "3.0");
  platform.symlinks["/home/user/Clip.APP"] = "/opt/apps/Clip Ledger.app";
  start();
  controller->perform(Action::chooseApplication, menuSender(kClip));
  run(kClip, "/opt/apps/Clip Ledger.app");
  platform.answerOpenPanel("/home/user/Clip.APP");
  EXPECT_EQ(setting("applicationPath.clip-ledger"),
            SettingValue(std::string("/opt/apps/Clip Ledger.app")));
  EXPECT_EQ(setting("enabled.clip-ledger"), SettingValue(true));
  EXPECT_EQ(control(row(kClip).version).text, "Nainstalováno 3.0");
  EXPECT_TRUE(platform.alerts.empty());
}

TEST_F(Installing, AWrongChoiceIsRefusedWithAnAlert) {
  platform.addBundle("/opt/apps/Other.app", "com.example.other", "3", "3.0");
  platform.addBundle("/opt/apps/Clip Ledger.bundle", "cz.tobranix.clip-ledger", "3", "3.0");
  start();
  for (const char* chosen : {"/opt/apps/Other.app", "/opt/apps/Clip Ledger.bundle"}) {
    platform.alerts.clear();
    controller->perform(Action::chooseApplication, menuSender(kClip));
    platform.answerOpenPanel(std::string(chosen));
    ASSERT_EQ(platform.alerts.size(), 1u) << chosen;
    EXPECT_EQ(platform.alerts[0].message, "Jiná aplikace");
    EXPECT_EQ(platform.alerts[0].informative, "Vyber aplikaci Clip Ledger.");
    EXPECT_FALSE(platform.alerts[0].modal);
  }
  controller->perform(Action::chooseApplication, menuSender(kClip));
  platform.answerOpenPanel(std::nullopt);  // cancelled
  EXPECT_EQ(setting("applicationPath.clip-ledger"), std::nullopt);
}

// ---- Launch at login ---------------------------------------------------------------

class Login : public ControllerHarness {
 protected:
  void SetUp() override { automaticChecksOff(); }
};

TEST_F(Login, TheCheckboxRegistersAndFollowsThePlatform) {
  start();
  controller->perform(Action::changeLogin, controlSender("", true));
  EXPECT_EQ(platform.loginRegistrations, 1);
  EXPECT_TRUE(global(&WindowLayout::login).on);
  controller->perform(Action::changeLogin, controlSender("", false));
  EXPECT_EQ(platform.loginUnregistrations, 1);
  EXPECT_FALSE(global(&WindowLayout::login).on);
  EXPECT_TRUE(platform.alerts.empty());
}

TEST_F(Login, ARefusalIsShownAndTheCheckboxReturns) {
  for (const std::string& error : {std::string("Přístup odepřen."), std::string()}) {
    platform.alerts.clear();
    platform.loginAnswer = std::unexpected(error);
    start();
    platform.controls.at(controller->layout().login).on = true;  // the click
    controller->perform(Action::changeLogin, controlSender("", true));
    ASSERT_EQ(platform.alerts.size(), 1u);
    EXPECT_TRUE(platform.alerts[0].modal);
    EXPECT_EQ(platform.alerts[0].message, "Spuštění při přihlášení");
    EXPECT_EQ(platform.alerts[0].informative,
              error.empty() ? "Povol Kelvoma v nastavení spouštění po přihlášení." : error);
    EXPECT_FALSE(global(&WindowLayout::login).on);
  }
}

TEST_F(Login, WithoutSupportOnlyRefreshes) {
  platform.loginSupported = false;
  start();
  const int menus = platform.menusSet;
  controller->perform(Action::changeLogin, controlSender("", true));
  EXPECT_EQ(platform.loginRegistrations, 0);
  EXPECT_EQ(platform.menusSet, menus + 1);
}

// ---- Tools as desktop applications ---------------------------------------------------

using DesktopApps = ControllerHarness;

// A notice whose bundle is back already, from the row or the menu, does nothing.
TEST_F(DesktopApps, TrashStopsTheToolFirstAndPutsItBackFromTheNoticeOrTheRow) {
  automaticChecksOff();
  install(kOrbit);
  platform.plists[systemPath(kOrbit) + "/Contents/Info.plist"]["CFBundleExecutable"] = "Orbit";
  run(kOrbit);
  core.installAnswers[kOrbit] = R"({"ok":true,"relaunch":false})";
  start();
  controller->perform(Action::installTool, controlSender(kOrbit));
  controller->perform(Action::trashTool, menuSender(kOrbit));  // refused while installing
  EXPECT_EQ(control(row(kOrbit).message).text,
            "Nástroj se právě instaluje nebo kontroluje. Přesuň ho do koše za chvíli.");
  platform.runWorkers();
  EXPECT_TRUE(platform.trash.empty());
  controller->perform(Action::trashTool, controlSender(kOrbit));
  platform.runWorkers();
  EXPECT_EQ(platform.terminateRequests.size(), 1u);
  ASSERT_EQ(platform.trash.size(), 1u);
  EXPECT_FALSE(platform.entries.contains(kOrbit));
  EXPECT_EQ(setting("enabled." + std::string(kOrbit)), SettingValue(false));
  EXPECT_EQ(control(row(kOrbit).install).text, "Nainstalovat");
  EXPECT_EQ(platform.notices.back().notice.summary, "Orbit Action Dial je v koši.");
  EXPECT_EQ(platform.notices.back().notice.actions.at(0).label, "Vrátit");
  EXPECT_EQ(control(row(kOrbit).trash).text, "Vrátit z koše");
  platform.invokeNotice("trash." + std::string(kOrbit), "restore");
  EXPECT_TRUE(platform.trash.empty());
  EXPECT_EQ(control(row(kOrbit).message).text, "Vráceno z koše.");
  EXPECT_EQ(control(row(kOrbit).trash).text, "Přesunout do koše");
  // As before the move: switched on and started, the notice taken back; an
  // entry another program removed is written again at the next refresh.
  EXPECT_EQ(setting("enabled." + std::string(kOrbit)), SettingValue(true));
  EXPECT_EQ(platform.launches.back().bundlePath, systemPath(kOrbit));
  EXPECT_FALSE(platform.shown.contains("trash." + std::string(kOrbit)));
  platform.entries.clear();
  platform.advance(1);
  EXPECT_TRUE(platform.entries.contains(kOrbit));
  controller->perform(Action::trashTool, controlSender(kOrbit));
  platform.runWorkers();
  EXPECT_EQ(platform.menu->items.at(2).submenu->back().title, "Vrátit z koše");
  controller->perform(Action::trashTool, menuSender(kOrbit));
  platform.invokeNotice("trash." + std::string(kOrbit), "restore");
  EXPECT_TRUE(platform.trash.empty());
  EXPECT_EQ(control(row(kOrbit).install).text, "Zkontrolovat");
}

TEST_F(DesktopApps, UpdateAllOneAfterAnotherWithOneNoticeNamingEach) {
  automaticChecksOff();
  install(kOrbit);
  installAt(homePath(kPane), kPane);
  for (const char* id : {kOrbit, kPane}) {
    core.checkAnswers[id] = R"({"available":true,"build":6,"ok":true,"version":"1.3"})";
  }
  core.installAnswers[kOrbit] = R"({"ok":true,"relaunch":false})";
  core.installAnswers[kPane] = R"({"error":"Archiv je poškozený.","ok":false,"relaunch":false})";
  start();
  controller->perform(Action::checkAll, {});
  platform.runWorkers();
  platform.runWorkers();  // the notes the checks asked for
  EXPECT_FALSE(global(&WindowLayout::updateAllButton).hidden);
  EXPECT_TRUE(std::ranges::any_of(
      platform.menu->items, [](const MenuItem& each) { return each.title == "Aktualizovat vše"; }));

  const std::size_t notices = platform.notices.size();
  platform.windowOnScreen = false;  // nothing of it seen but the notice
  controller->perform(Action::updateAll, {});
  EXPECT_EQ(platform.pendingWorkers(), 1u);  // one at a time
  EXPECT_EQ(control(row(kPane).message).text, "Čeká na aktualizaci…");
  platform.runWorkers();
  platform.runWorkers();
  ASSERT_EQ(core.installs.size(), 2u);
  EXPECT_EQ(control(row(kOrbit).message).text, "Nainstalováno.");
  EXPECT_EQ(control(row(kPane).message).text, "Archiv je poškozený.");
  ASSERT_EQ(platform.notices.size(), notices + 1);
  EXPECT_EQ(platform.notices.back().notice.body,
            "Aktualizováno: Orbit Action Dial.\nNepodařilo se: Pane Keeper.");
}

}  // namespace
}  // namespace kelvoma::app::testing
