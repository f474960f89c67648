// The controller's state, start-up, queries on tools and termination, driven
// through the fake platform.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "harness.h"

namespace kelvoma::app::testing {
namespace {

using ::testing::ElementsAre;

// ---- Finding the installed copy ------------------------------------------------

class InstalledCopy : public ControllerHarness {
 protected:
  void SetUp() override { automaticChecksOff(); }
};

TEST_F(InstalledCopy, SystemFolderWinsOverHomeFolder) {
  install(kOrbit);
  installAt(homePath(kOrbit), kOrbit);
  start();
  EXPECT_EQ(controller->applicationURLForTool(tool(kOrbit)), systemPath(kOrbit));
}

TEST_F(InstalledCopy, HomeFolderWhenSystemFolderHasNone) {
  installAt(homePath(kOrbit), kOrbit);
  start();
  EXPECT_EQ(controller->applicationURLForTool(tool(kOrbit)), homePath(kOrbit));
}

TEST_F(InstalledCopy, BundleWithAnotherIdentifierIsPassedOver) {
  platform.addBundle(systemPath(kOrbit), "com.example.impostor", "5", "1.0");
  installAt(homePath(kOrbit), kOrbit);
  start();
  EXPECT_EQ(controller->applicationURLForTool(tool(kOrbit)), homePath(kOrbit));
}

TEST_F(InstalledCopy, RememberedPathComesFirst) {
  install(kOrbit);
  installAt("/opt/tools/Dial.app", kOrbit);
  platform.settings[kDomain]["applicationPath.orbit-action-dial"] =
      std::string("/opt/tools/Dial.app");
  start();
  EXPECT_EQ(controller->applicationURLForTool(tool(kOrbit)), "/opt/tools/Dial.app");
}

TEST_F(InstalledCopy, RememberedPathWithAnotherIdentifierIsIgnoredNotErased) {
  installAt(homePath(kOrbit), kOrbit);
  platform.addBundle("/opt/tools/Other.app", "cz.tobranix.pane-keeper", "5", "1.0");
  platform.settings[kDomain]["applicationPath.orbit-action-dial"] =
      std::string("/opt/tools/Other.app");
  start();
  EXPECT_EQ(controller->applicationURLForTool(tool(kOrbit)), homePath(kOrbit));
  EXPECT_EQ(setting("applicationPath.orbit-action-dial"),
            SettingValue(std::string("/opt/tools/Other.app")));
}

TEST_F(InstalledCopy, EmptyRememberedPathAndUnreadablePlistMeanNotInstalled) {
  platform.settings[kDomain]["applicationPath.orbit-action-dial"] = std::string("");
  platform.plists[systemPath(kOrbit) + "/Contents/Info.plist"] = Document::array();
  start();
  EXPECT_EQ(controller->applicationURLForTool(tool(kOrbit)), std::nullopt);
  EXPECT_EQ(controller->infoDictionaryAtURL(systemPath(kOrbit)), Document::object());
  EXPECT_EQ(controller->infoDictionaryAtURL(std::nullopt), Document::object());
}

TEST_F(InstalledCopy, RunningInstancesCountOnlyThoseFromTheInstalledCopy) {
  install(kOrbit);
  installAt(homePath(kOrbit), kOrbit);
  run(kOrbit);
  run(kOrbit, homePath(kOrbit));                                      // another copy
  platform.startProcess(systemPath(kOrbit), "com.example.impostor");  // another identifier
  platform.symlinks["/Applications/Dial link.app"] = systemPath(kOrbit);
  run(kOrbit, "/Applications/Dial link.app");  // the installed copy through a link
  start();
  EXPECT_EQ(controller->runningInstancesOfTool(tool(kOrbit), systemPath(kOrbit)).size(), 2u);
  EXPECT_TRUE(controller->runningInstancesOfTool(tool(kOrbit), std::nullopt).empty());
  EXPECT_EQ(controller->snapshotOf(tool(kOrbit)).runningCount, 2u);
}

// ---- Documents from the core ---------------------------------------------------

class CoreDocuments : public ControllerHarness {
 protected:
  void SetUp() override {
    automaticChecksOff();
    start();
  }
  // A text handed out by the core with exactly this content.
  char* text(const std::string& content) {
    core.catalog = content;
    return core.core().catalog();
  }
};

TEST_F(CoreDocuments, ParsesAndFreesExactlyOnce) {
  struct Case {
    const char* content;
    Document expected;
  };
  const Case cases[] = {
      {R"({"ok":true,"build":7})", Document{{"ok", true}, {"build", 7}}},
      {R"([1,2])", Document::array({1, 2})},
      {"not json", Document::object()},
      {R"("a text")", Document::object()},
      {"true", Document::object()},
      {"", Document::object()},
      {"{\"bad\":\"\xff\"}", Document::object()},
  };
  for (const Case& each : cases) {
    const int freesBefore = core.frees();
    EXPECT_EQ(takeDocument(core.core(), text(each.content)), each.expected) << each.content;
    EXPECT_EQ(core.frees(), freesBefore + 1) << each.content;
  }
  EXPECT_EQ(core.outstanding(), 0u);
}

TEST_F(CoreDocuments, NoTextIsAnEmptyDocumentAndNothingToFree) {
  const int freesBefore = core.frees();
  EXPECT_EQ(takeDocument(core.core(), nullptr), Document::object());
  EXPECT_EQ(core.frees(), freesBefore);
}

// ---- Start-up ------------------------------------------------------------------

class StartUp : public ControllerHarness {};

TEST_F(StartUp, EmptyDefaultsCheckAtOnceBeforeTheWindowShows) {
  start();
  ASSERT_EQ(platform.events.size(), 3u);
  EXPECT_THAT(platform.events, ElementsAre("worker", "worker", "show"));
  EXPECT_EQ(controller->checking(), (std::set<std::string>{kOrbit, kPane}));
  platform.runWorkers();
  ASSERT_EQ(core.checks.size(), 2u);  // the external tool is never checked
  EXPECT_EQ(core.checks[0].id, kOrbit);
  EXPECT_EQ(core.checks[0].osVersion, "6.1.0");
  EXPECT_EQ(core.checks[1].id, kPane);
}

TEST_F(StartUp, RecordsTheChoiceOnlyForInstalledTools) {
  install(kOrbit);
  install(kClip);
  run(kClip);
  start();
  EXPECT_EQ(setting("enabled.orbit-action-dial"), SettingValue(false));
  EXPECT_EQ(setting("enabled.clip-ledger"), SettingValue(true));
  EXPECT_EQ(setting("enabled.pane-keeper"), std::nullopt);
}

TEST_F(StartUp, AnnouncesManagementOfInstalledManifestToolsOnly) {
  install(kOrbit);
  install(kClip);
  start();
  EXPECT_EQ(setting("managedByKelvoma", "cz.tobranix.orbit-action-dial"), SettingValue(true));
  EXPECT_EQ(setting("managedByKelvoma", "cz.tobranix.clip-ledger"), std::nullopt);
  EXPECT_EQ(setting("managedByKelvoma", "cz.tobranix.pane-keeper"), std::nullopt);
  EXPECT_EQ(platform.posted, (std::vector<std::pair<std::string, std::string>>{
                                 {"KelvomaManagementChanged", "cz.tobranix.orbit-action-dial"}}));
}

TEST_F(StartUp, LaunchesToolsRememberedAsOn) {
  install(kOrbit);
  install(kClip);
  platform.settings[kDomain]["enabled.orbit-action-dial"] = true;
  platform.settings[kDomain]["enabled.clip-ledger"] = std::string("false");
  platform.settings[kDomain]["enabled.pane-keeper"] = true;  // not installed: nothing
  start();
  ASSERT_EQ(platform.launches.size(), 1u);
  EXPECT_EQ(platform.launches[0].bundlePath, systemPath(kOrbit));
  EXPECT_EQ(platform.launches[0].config,
            (LaunchConfiguration{.arguments = {"--background"}, .activates = false}));
}

TEST_F(StartUp, ResetsTheStatusItemPositionOnce) {
  start();
  EXPECT_EQ(setting("NSStatusItem Preferred Position KelvomaStatusItem"), SettingValue(0.0));
  EXPECT_EQ(setting("compactMenuPositionV1"), SettingValue(true));
}

TEST_F(StartUp, PositionResetDoneBeforeIsNotRepeated) {
  platform.settings[kDomain]["compactMenuPositionV1"] = std::string("true");
  start();
  for (const auto& [domain, key] : platform.settingWrites) {
    EXPECT_NE(key, "NSStatusItem Preferred Position KelvomaStatusItem");
  }
}

TEST_F(StartUp, StatusItemLooksAsItShould) {
  start();
  ASSERT_TRUE(platform.statusItem);
  EXPECT_EQ(platform.statusItem->autosaveName, "KelvomaStatusItem");
  EXPECT_EQ(platform.statusItem->symbol, "square.stack.3d.up");
  EXPECT_EQ(platform.statusItem->accessibilityDescription, "Kelvoma");
  EXPECT_EQ(platform.statusItem->imageSize, 18);
  EXPECT_TRUE(platform.statusItem->templateImage);
  EXPECT_EQ(platform.statusItem->toolTip, "Kelvoma · správce nástrojů");
  EXPECT_EQ(platform.statusItem->accessibilityLabel, "Kelvoma · správce nástrojů");
}

TEST_F(StartUp, BackgroundKeepsTheWindowClosedAnywhereInTheArguments) {
  for (const auto& args : {std::vector<std::string>{"kelvoma", "--background"},
                           std::vector<std::string>{"kelvoma", "-x", "--background", "y"}}) {
    platform = FakePlatform();
    start(args);
    EXPECT_EQ(platform.windowShows, 0);
    EXPECT_TRUE(platform.statusItem.has_value());
    EXPECT_TRUE(platform.menu.has_value());
  }
}

// Without a tray host nothing else of the application is visible: the window
// opens at start whatever the arguments, and only then.
TEST_F(StartUp, WithoutATrayHostTheWindowOpensOnceDespiteBackground) {
  struct Case {
    const char* name;
    bool trayAvailable;
    std::vector<std::string> args;
    int shows;
  };
  const Case cases[] = {
      {.name = "tray, background",
       .trayAvailable = true,
       .args = {"kelvoma", "--background"},
       .shows = 0},
      {.name = "no tray, background",
       .trayAvailable = false,
       .args = {"kelvoma", "--background"},
       .shows = 1},
      {.name = "no tray", .trayAvailable = false, .args = {"kelvoma"}, .shows = 1},
  };
  for (const Case& each : cases) {
    platform = FakePlatform();
    platform.trayAvailable = each.trayAvailable;
    start(each.args);
    EXPECT_EQ(platform.windowShows, each.shows) << each.name;
    EXPECT_TRUE(platform.statusItem.has_value()) << each.name;
    platform.advance(3.0);  // refreshes never open it again
    EXPECT_EQ(platform.windowShows, each.shows) << each.name;
    controller->applicationShouldHandleReopen();  // started again: brought forward
    EXPECT_EQ(platform.windowShows, each.shows + 1) << each.name;
  }
}

TEST_F(StartUp, WithoutBackgroundTheWindowShowsActivated) {
  start({"kelvoma", "--backgroundx"});
  EXPECT_EQ(platform.windowShows, 1);
  EXPECT_EQ(platform.activations, 1);
}

TEST_F(StartUp, AutomaticChecksOffMeansNoCheck) {
  automaticChecksOff();
  start();
  EXPECT_EQ(platform.pendingWorkers(), 0u);
  EXPECT_TRUE(controller->checking().empty());
}

TEST_F(StartUp, TimersAndObserver) {
  start({"kelvoma", "--background"});
  ASSERT_EQ(platform.timers.size(), 2u);
  const auto& refresh = platform.timers.begin()->second;
  const auto& hourly = std::next(platform.timers.begin())->second;
  EXPECT_EQ(refresh.interval, 1.0);
  EXPECT_EQ(refresh.modes, TimerModes::commonModes);
  EXPECT_EQ(hourly.interval, 3600.0);
  EXPECT_EQ(hourly.modes, TimerModes::defaultMode);
  EXPECT_TRUE(platform.observers.contains("KelvomaCheckUpdates"));

  const int menus = platform.menusSet;
  platform.advance(1.0);
  EXPECT_EQ(platform.menusSet, menus + 1);
}

TEST_F(StartUp, EmptyOrUnreadableCatalogLeavesOnlyTheFixedMenu) {
  for (const std::string& catalog :
       {std::string("[]"), std::string("{}"), std::string("nonsense")}) {
    platform = FakePlatform();
    core.catalog = catalog;
    start();
    EXPECT_TRUE(controller->tools().empty());
    std::vector<std::string> titles;
    for (const MenuItem& item : platform.menu->items) {
      titles.push_back(item.separator ? "---" : item.title);
    }
    EXPECT_THAT(titles, ElementsAre("Kelvoma", "---", "---", "Otevřít správce…",
                                    "Zkontrolovat verze", "---", "Ukončit Kelvoma"));
    EXPECT_EQ(platform.window->controls.size(), 8u);  // "Aktualizovat vše" among them, hidden
  }
}

TEST_F(StartUp, NoCatalogTextAtAll) {
  core.catalogReturnsNull = true;
  start();
  EXPECT_TRUE(controller->tools().empty());
}

// ---- Termination ---------------------------------------------------------------

class Termination : public ControllerHarness {
 protected:
  void SetUp() override { automaticChecksOff(); }
};

TEST_F(Termination, RefusedWhileAnInstallationRunsThenAllowed) {
  start();
  controller->perform(Action::installTool, menuSender(kOrbit));  // not installed: installs
  ASSERT_TRUE(controller->busy().contains(kOrbit));
  controller->perform(Action::quit, {});
  EXPECT_FALSE(platform.terminated);
  EXPECT_EQ(platform.timers.size(), 2u);  // nothing was torn down
  EXPECT_FALSE(controller->applicationShouldTerminate());

  platform.runWorkers();  // the installation ends
  ASSERT_TRUE(controller->busy().empty());
  controller->perform(Action::quit, {});
  EXPECT_TRUE(platform.terminated);
  EXPECT_TRUE(platform.timers.empty());
  EXPECT_TRUE(platform.observers.empty());
}

TEST_F(Termination, ACheckDoesNotHoldItBack) {
  start();
  controller->perform(Action::checkAll, {});
  ASSERT_FALSE(controller->checking().empty());
  controller->perform(Action::quit, {});
  EXPECT_TRUE(platform.terminated);
}

TEST_F(Termination, ReopenShowsTheWindow) {
  start({"kelvoma", "--background"});
  controller->applicationShouldHandleReopen();
  EXPECT_EQ(platform.windowShows, 1);
}

// ---- Identifiers and lookups ------------------------------------------------

TEST_F(ControllerHarness, IdentifierComesFromRepresentedObjectOrIdentifier) {
  automaticChecksOff();
  start();
  EXPECT_EQ(controller->identifier(menuSender(kPane)), kPane);
  EXPECT_EQ(controller->identifier(controlSender(kClip)), kClip);
  Sender both = menuSender(kPane);
  both.identifier = kClip;
  EXPECT_EQ(controller->identifier(both), kPane);
  EXPECT_NE(controller->tool(kClip), nullptr);
  EXPECT_EQ(controller->tool("unknown"), nullptr);
  EXPECT_EQ(controller->tool(""), nullptr);
}

TEST_F(ControllerHarness, ActionsForUnknownToolsDoNothing) {
  automaticChecksOff();
  install(kOrbit);
  start();
  const auto launches = platform.launches.size();
  for (const Action action :
       {Action::toggleTool, Action::settingsTool, Action::installTool, Action::chooseApplication}) {
    controller->perform(action, menuSender("nope"));
  }
  EXPECT_EQ(platform.launches.size(), launches);
  EXPECT_TRUE(controller->busy().empty());
  EXPECT_FALSE(platform.openPanel.has_value());
}

}  // namespace
}  // namespace kelvoma::app::testing
