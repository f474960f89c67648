// Every row title and enabled state, and every item of the status menu, for
// each situation a tool can be in.
#include <gtest/gtest.h>

#include "harness.h"

namespace kelvoma::app::testing {
namespace {

enum class Release { none, sameBuild, higherBuild, lowerBuild, failed };

struct Situation {
  const char* name;
  const char* tool;
  bool installed = false;
  bool running = false;
  Release release = Release::none;
  bool busy = false;
  bool shortVersion = true;
  std::vector<FakeCore::Report> progress{};  // reported by the busy installation
};

struct ExpectedRow {
  const char* state;
  Colour stateColour;
  const char* version;
  bool toggleOn, toggleEnabled, settingsEnabled;
  const char* install;
  bool installEnabled;
  std::optional<ProgressValue> bar{};  // nothing: hidden
};

struct ExpectedMenuItem {
  const char* title;
  Action action;
  bool enabled;
};

struct RowCase {
  Situation situation;
  ExpectedRow row;
  const char* menuTitle;
  std::vector<ExpectedMenuItem> submenu;
};

void PrintTo(const RowCase& c, std::ostream* out) { *out << c.situation.name; }

class Rows : public ControllerHarness, public ::testing::WithParamInterface<RowCase> {
 protected:
  std::size_t indexOf(const std::string& id) { return id == kOrbit ? 0 : id == kPane ? 1 : 2; }

  // look runs once the situation holds: with progress reports, during the
  // installation after the last report has reached the window.
  void arrange(const Situation& s, const std::function<void()>& look) {
    automaticChecksOff();
    start({"kelvoma", "--background"});
    const std::string id = s.tool;
    const char* release = nullptr;
    switch (s.release) {
      case Release::none:
        break;
      case Release::sameBuild:
        release = R"({"available":false,"build":5,"ok":true,"version":"1.2.0"})";
        break;
      case Release::higherBuild:
        release = R"({"available":true,"build":6,"ok":true,"version":"1.3.0"})";
        break;
      case Release::lowerBuild:
        release = R"({"available":false,"build":4,"ok":true,"version":"1.1.0"})";
        break;
      case Release::failed:
        release = R"({"error":"Síť není dostupná.","ok":false})";
        break;
    }
    if (release != nullptr) {
      core.checkAnswers[id] = release;
      controller->perform(Action::checkAll, {});
      platform.runWorkers();
    }
    // An installation that has not finished yet; started while not installed.
    if (s.busy) {
      controller->perform(Action::installTool, menuSender(id));
      ASSERT_TRUE(controller->busy().contains(id));
    }
    if (!s.progress.empty()) {
      core.progressReports = s.progress;
      core.afterReport = [this, &look, left = s.progress.size()]() mutable {
        platform.drainMain();
        platform.advance(kProgressInterval);
        if (--left == 0) {
          controller->refresh();
          look();
        }
      };
      platform.runWorkers();
      return;
    }
    if (s.installed) {
      install(id, "5", s.shortVersion ? std::optional<std::string>("1.2.0") : std::nullopt);
    }
    if (s.running) {
      run(id);
    }
    controller->refresh();
    look();
  }
};

TEST_P(Rows, ShowTheSituation) {
  const RowCase& c = GetParam();
  arrange(c.situation, [&] {
    const RowRecord& r = row(c.situation.tool);
    EXPECT_EQ(control(r.state).text, c.row.state);
    EXPECT_EQ(control(r.state).colour, c.row.stateColour);
    EXPECT_EQ(control(r.version).text, c.row.version);
    EXPECT_EQ(control(r.toggle).on, c.row.toggleOn);
    EXPECT_EQ(control(r.toggle).enabled, c.row.toggleEnabled);
    EXPECT_EQ(control(r.settings).enabled, c.row.settingsEnabled);
    EXPECT_EQ(control(r.install).text, c.row.install);
    EXPECT_EQ(control(r.install).enabled, c.row.installEnabled);
    EXPECT_EQ(control(r.progress).hidden, !c.row.bar.has_value());
    EXPECT_EQ(control(r.progress).progress, c.row.bar.value_or(ProgressValue{}));
  });
}

TEST_P(Rows, MenuShowsTheSituation) {
  const RowCase& c = GetParam();
  arrange(c.situation, [&] {
    const MenuItem& head = toolItem(indexOf(c.situation.tool));
    EXPECT_EQ(head.title, c.menuTitle);
    EXPECT_FALSE(head.action.has_value());
    EXPECT_TRUE(head.enabled);
    ASSERT_TRUE(head.submenu.has_value());
    ASSERT_EQ(head.submenu->size(), c.submenu.size());
    for (std::size_t i = 0; i < c.submenu.size(); ++i) {
      const MenuItem& item = (*head.submenu)[i];
      EXPECT_EQ(item.title, c.submenu[i].title) << i;
      EXPECT_EQ(item.action, c.submenu[i].action) << i;
      EXPECT_EQ(item.enabled, c.submenu[i].enabled) << item.title;
      EXPECT_EQ(item.representedObject, c.situation.tool) << item.title;
    }
  });
}

constexpr Colour grey = Colour::secondaryLabel;
constexpr Colour green = Colour::systemGreen;
const ProgressValue busyBar{};

INSTANTIATE_TEST_SUITE_P(
    Table, Rows,
    ::testing::Values(
        // Manifest-based tool.
        RowCase{
            .situation = {.name = "manifest_not_installed", .tool = kOrbit},
            .row = {.state = "Nenainstalováno",
                    .stateColour = grey,
                    .version = "Stáhni nástroj do složky ~/Applications.",
                    .toggleOn = false,
                    .toggleEnabled = false,
                    .settingsEnabled = false,
                    .install = "Nainstalovat",
                    .installEnabled = true},
            .menuTitle = "Orbit Action Dial · Nenainstalováno",
            .submenu =
                {{.title = "Zapnout", .action = Action::toggleTool, .enabled = false},
                 {.title = "Nastavení nástroje…", .action = Action::settingsTool, .enabled = false},
                 {.title = "Nainstalovat…", .action = Action::installTool, .enabled = true}}},
        RowCase{
            .situation = {.name = "manifest_installed_unchecked",
                          .tool = kOrbit,
                          .installed = true},
            .row = {.state = "Vypnuto",
                    .stateColour = grey,
                    .version = "Nainstalováno 1.2.0",
                    .toggleOn = false,
                    .toggleEnabled = true,
                    .settingsEnabled = true,
                    .install = "Zkontrolovat",
                    .installEnabled = true},
            .menuTitle = "Orbit Action Dial · Vypnuto",
            .submenu =
                {{.title = "Zapnout", .action = Action::toggleTool, .enabled = true},
                 {.title = "Nastavení nástroje…", .action = Action::settingsTool, .enabled = true},
                 {.title = "Aktualizovat…", .action = Action::installTool, .enabled = true}}},
        RowCase{
            .situation =
                {.name = "manifest_running", .tool = kOrbit, .installed = true, .running = true},
            .row = {.state = "Běží",
                    .stateColour = green,
                    .version = "Nainstalováno 1.2.0",
                    .toggleOn = true,
                    .toggleEnabled = true,
                    .settingsEnabled = true,
                    .install = "Zkontrolovat",
                    .installEnabled = true},
            .menuTitle = "Orbit Action Dial · Běží",
            .submenu =
                {{.title = "Vypnout", .action = Action::toggleTool, .enabled = true},
                 {.title = "Nastavení nástroje…", .action = Action::settingsTool, .enabled = true},
                 {.title = "Aktualizovat…", .action = Action::installTool, .enabled = true}}},
        RowCase{
            .situation = {.name = "manifest_current",
                          .tool = kPane,
                          .installed = true,
                          .release = Release::sameBuild},
            .row = {.state = "Vypnuto",
                    .stateColour = grey,
                    .version = "Nainstalováno 1.2.0",
                    .toggleOn = false,
                    .toggleEnabled = true,
                    .settingsEnabled = true,
                    .install = "Aktuální verze",
                    .installEnabled = false},
            .menuTitle = "Pane Keeper · Vypnuto",
            .submenu =
                {{.title = "Zapnout", .action = Action::toggleTool, .enabled = true},
                 {.title = "Nastavení nástroje…", .action = Action::settingsTool, .enabled = true},
                 {.title = "Aktualizovat…", .action = Action::installTool, .enabled = false}}},
        RowCase{
            .situation = {.name = "manifest_newer_than_offered",
                          .tool = kPane,
                          .installed = true,
                          .release = Release::lowerBuild},
            .row = {.state = "Vypnuto",
                    .stateColour = grey,
                    .version = "Nainstalováno 1.2.0",
                    .toggleOn = false,
                    .toggleEnabled = true,
                    .settingsEnabled = true,
                    .install = "Aktuální verze",
                    .installEnabled = false},
            .menuTitle = "Pane Keeper · Vypnuto",
            .submenu =
                {{.title = "Zapnout", .action = Action::toggleTool, .enabled = true},
                 {.title = "Nastavení nástroje…", .action = Action::settingsTool, .enabled = true},
                 {.title = "Aktualizovat…", .action = Action::installTool, .enabled = false}}},
        RowCase{
            .situation = {.name = "manifest_update",
                          .tool = kOrbit,
                          .installed = true,
                          .release = Release::higherBuild},
            .row = {.state = "Vypnuto",
                    .stateColour = grey,
                    .version = "Nainstalováno 1.2.0  ·  Nová verze 1.3.0",
                    .toggleOn = false,
                    .toggleEnabled = true,
                    .settingsEnabled = true,
                    .install = "Aktualizovat",
                    .installEnabled = true},
            .menuTitle = "Orbit Action Dial · Vypnuto",
            .submenu =
                {{.title = "Zapnout", .action = Action::toggleTool, .enabled = true},
                 {.title = "Nastavení nástroje…", .action = Action::settingsTool, .enabled = true},
                 {.title = "Aktualizovat…", .action = Action::installTool, .enabled = true}}},
        RowCase{
            .situation = {.name = "manifest_check_failed",
                          .tool = kOrbit,
                          .installed = true,
                          .release = Release::failed},
            .row = {.state = "Vypnuto",
                    .stateColour = grey,
                    .version = "Nainstalováno 1.2.0",
                    .toggleOn = false,
                    .toggleEnabled = true,
                    .settingsEnabled = true,
                    .install = "Zkontrolovat",
                    .installEnabled = true},
            .menuTitle = "Orbit Action Dial · Vypnuto",
            .submenu =
                {{.title = "Zapnout", .action = Action::toggleTool, .enabled = true},
                 {.title = "Nastavení nástroje…", .action = Action::settingsTool, .enabled = true},
                 {.title = "Aktualizovat…", .action = Action::installTool, .enabled = true}}},
        RowCase{
            .situation = {.name = "manifest_without_short_version",
                          .tool = kOrbit,
                          .installed = true,
                          .shortVersion = false},
            .row = {.state = "Vypnuto",
                    .stateColour = grey,
                    .version = "Nainstalováno ?",
                    .toggleOn = false,
                    .toggleEnabled = true,
                    .settingsEnabled = true,
                    .install = "Zkontrolovat",
                    .installEnabled = true},
            .menuTitle = "Orbit Action Dial · Vypnuto",
            .submenu =
                {{.title = "Zapnout", .action = Action::toggleTool, .enabled = true},
                 {.title = "Nastavení nástroje…", .action = Action::settingsTool, .enabled = true},
                 {.title = "Aktualizovat…", .action = Action::installTool, .enabled = true}}},
        RowCase{
            .situation = {.name = "manifest_busy",
                          .tool = kOrbit,
                          .installed = true,
                          .running = true,
                          .busy = true},
            .row = {.state = "Běží",
                    .stateColour = green,
                    .version = "Nainstalováno 1.2.0",
                    .toggleOn = true,
                    .toggleEnabled = false,
                    .settingsEnabled = false,
                    .install = "Pracuji…",
                    .installEnabled = false,
                    .bar = busyBar},
            .menuTitle = "Orbit Action Dial · Běží",
            .submenu =
                {{.title = "Vypnout", .action = Action::toggleTool, .enabled = false},
                 {.title = "Nastavení nástroje…", .action = Action::settingsTool, .enabled = false},
                 {.title = "Aktualizovat…", .action = Action::installTool, .enabled = false}}},
        RowCase{
            .situation = {.name = "manifest_busy_not_installed", .tool = kPane, .busy = true},
            .row = {.state = "Nenainstalováno",
                    .stateColour = grey,
                    .version = "Stáhni nástroj do složky ~/Applications.",
                    .toggleOn = false,
                    .toggleEnabled = false,
                    .settingsEnabled = false,
                    .install = "Pracuji…",
                    .installEnabled = false,
                    .bar = busyBar},
            .menuTitle = "Pane Keeper · Nenainstalováno",
            .submenu =
                {{.title = "Zapnout", .action = Action::toggleTool, .enabled = false},
                 {.title = "Nastavení nástroje…", .action = Action::settingsTool, .enabled = false},
                 {.title = "Nainstalovat…", .action = Action::installTool, .enabled = false}}},
        RowCase{
            .situation = {.name = "manifest_busy_downloading",
                          .tool = kPane,
                          .busy = true,
                          .progress = {{KELVOMA_PHASE_DOWNLOADING, 0, 104'857'600},
                                       {KELVOMA_PHASE_DOWNLOADING, 12'345'678, 104'857'600}}},
            .row = {.state = "Nenainstalováno",
                    .stateColour = grey,
                    .version = "Stáhni nástroj do složky ~/Applications.",
                    .toggleOn = false,
                    .toggleEnabled = false,
                    .settingsEnabled = false,
                    .install = "Pracuji…",
                    .installEnabled = false,
                    .bar = ProgressValue{.fraction = 12'345'678.0 / 104'857'600,
                                         .text = "12,3 MB z 104,8 MB"}},
            .menuTitle = "Pane Keeper · Nenainstalováno",
            .submenu =
                {{.title = "Zapnout", .action = Action::toggleTool, .enabled = false},
                 {.title = "Nastavení nástroje…", .action = Action::settingsTool, .enabled = false},
                 {.title = "Nainstalovat…", .action = Action::installTool, .enabled = false}}},
        RowCase{
            .situation = {.name = "manifest_busy_checking",
                          .tool = kPane,
                          .busy = true,
                          .progress = {{KELVOMA_PHASE_DOWNLOADING, 104'857'600, 104'857'600},
                                       {KELVOMA_PHASE_UNPACKING, 0, 0},
                                       {KELVOMA_PHASE_CHECKING, 0, 0}}},
            .row = {.state = "Nenainstalováno",
                    .stateColour = grey,
                    .version = "Stáhni nástroj do složky ~/Applications.",
                    .toggleOn = false,
                    .toggleEnabled = false,
                    .settingsEnabled = false,
                    .install = "Pracuji…",
                    .installEnabled = false,
                    .bar = busyBar},
            .menuTitle = "Pane Keeper · Nenainstalováno",
            .submenu =
                {{.title = "Zapnout", .action = Action::toggleTool, .enabled = false},
                 {.title = "Nastavení nástroje…", .action = Action::settingsTool, .enabled = false},
                 {.title = "Nainstalovat…", .action = Action::installTool, .enabled = false}}},
        // External tool.
        RowCase{
            .situation = {.name = "external_not_installed", .tool = kClip},
            .row = {.state = "Nenainstalováno",
                    .stateColour = grey,
                    .version = "Stáhni nástroj do složky ~/Applications.",
                    .toggleOn = false,
                    .toggleEnabled = false,
                    .settingsEnabled = false,
                    .install = "Nainstalovat",
                    .installEnabled = true},
            .menuTitle = "Clip Ledger · Nenainstalováno",
            .submenu =
                {{.title = "Zapnout", .action = Action::toggleTool, .enabled = false},
                 {.title = "Otevřít aplikaci…", .action = Action::settingsTool, .enabled = false},
                 {.title = "Nainstalovat…", .action = Action::installTool, .enabled = true},
                 {.title = "Vybrat existující aplikaci…",
                  .action = Action::chooseApplication,
                  .enabled = true}}},
        RowCase{
            .situation = {.name = "external_installed", .tool = kClip, .installed = true},
            .row = {.state = "Vypnuto",
                    .stateColour = grey,
                    .version = "Nainstalováno 1.2.0",
                    .toggleOn = false,
                    .toggleEnabled = true,
                    .settingsEnabled = true,
                    .install = "Přidat aplikaci…",
                    .installEnabled = true},
            .menuTitle = "Clip Ledger · Vypnuto",
            .submenu =
                {{.title = "Zapnout", .action = Action::toggleTool, .enabled = true},
                 {.title = "Otevřít aplikaci…", .action = Action::settingsTool, .enabled = true},
                 {.title = "Přidat aplikaci…", .action = Action::installTool, .enabled = true}}},
        RowCase{
            .situation =
                {.name = "external_running", .tool = kClip, .installed = true, .running = true},
            .row = {.state = "Běží",
                    .stateColour = green,
                    .version = "Nainstalováno 1.2.0",
                    .toggleOn = true,
                    .toggleEnabled = true,
                    .settingsEnabled = true,
                    .install = "Přidat aplikaci…",
                    .installEnabled = true},
            .menuTitle = "Clip Ledger · Běží",
            .submenu =
                {{.title = "Vypnout", .action = Action::toggleTool, .enabled = true},
                 {.title = "Otevřít aplikaci…", .action = Action::settingsTool, .enabled = true},
                 {.title = "Přidat aplikaci…", .action = Action::installTool, .enabled = true}}},
        RowCase{
            .situation = {.name = "external_busy", .tool = kClip, .busy = true},
            .row = {.state = "Nenainstalováno",
                    .stateColour = grey,
                    .version = "Stáhni nástroj do složky ~/Applications.",
                    .toggleOn = false,
                    .toggleEnabled = false,
                    .settingsEnabled = false,
                    .install = "Pracuji…",
                    .installEnabled = false,
                    .bar = busyBar},
            .menuTitle = "Clip Ledger · Nenainstalováno",
            .submenu =
                {{.title = "Zapnout", .action = Action::toggleTool, .enabled = false},
                 {.title = "Otevřít aplikaci…", .action = Action::settingsTool, .enabled = false},
                 {.title = "Nainstalovat…", .action = Action::installTool, .enabled = false},
                 {.title = "Vybrat existující aplikaci…",
                  .action = Action::chooseApplication,
                  .enabled = false}}},
        RowCase{
            .situation =
                {.name = "external_busy_installed", .tool = kClip, .installed = true, .busy = true},
            .row = {.state = "Vypnuto",
                    .stateColour = grey,
                    .version = "Nainstalováno 1.2.0",
                    .toggleOn = false,
                    .toggleEnabled = false,
                    .settingsEnabled = false,
                    .install = "Pracuji…",
                    .installEnabled = false,
                    .bar = busyBar},
            .menuTitle = "Clip Ledger · Vypnuto",
            .submenu =
                {{.title = "Zapnout", .action = Action::toggleTool, .enabled = false},
                 {.title = "Otevřít aplikaci…", .action = Action::settingsTool, .enabled = false},
                 {.title = "Přidat aplikaci…", .action = Action::installTool, .enabled = false}}}),
    [](const auto& param_info) { return std::string(param_info.param.situation.name); });

// ---- The rest of the menu and the window's global controls ----------------------

class MenuAndGlobals : public ControllerHarness {
 protected:
  void SetUp() override { automaticChecksOff(); }
};

TEST_F(MenuAndGlobals, FixedItemsFrameTheToolsAndStayEnabled) {
  start();
  controller->perform(Action::checkAll, {});
  controller->perform(Action::installTool, menuSender(kClip));  // busy
  controller->refresh();
  const auto& items = platform.menu->items;
  ASSERT_EQ(items.size(), 10u);
  EXPECT_EQ(items[0].title, "Kelvoma");
  EXPECT_FALSE(items[0].enabled);
  EXPECT_FALSE(items[0].action.has_value());
  EXPECT_TRUE(items[1].separator);
  EXPECT_EQ(items[2].title, "Orbit Action Dial · Nenainstalováno");
  EXPECT_EQ(items[3].title, "Pane Keeper · Nenainstalováno");
  EXPECT_EQ(items[4].title, "Clip Ledger · Nenainstalováno");
  EXPECT_TRUE(items[5].separator);
  EXPECT_EQ(items[6].title, "Otevřít správce…");
  EXPECT_EQ(items[6].action, Action::show);
  EXPECT_EQ(items[7].title, "Zkontrolovat verze");
  EXPECT_EQ(items[7].action, Action::checkAll);
  EXPECT_TRUE(items[8].separator);
  EXPECT_EQ(items[9].title, "Ukončit Kelvoma");
  EXPECT_EQ(items[9].action, Action::quit);
  for (const std::size_t i : {6u, 7u, 9u}) {
    EXPECT_TRUE(items[i].enabled) << items[i].title;
    EXPECT_TRUE(items[i].representedObject.empty());
  }
  EXPECT_FALSE(platform.menu->autoenablesItems);
}

TEST_F(MenuAndGlobals, CheckButtonOnlyWhenNothingRuns) {
  start();
  EXPECT_TRUE(global(&WindowLayout::checkButton).enabled);
  controller->perform(Action::checkAll, {});
  EXPECT_FALSE(global(&WindowLayout::checkButton).enabled);
  platform.runWorkers();
  EXPECT_TRUE(global(&WindowLayout::checkButton).enabled);
  controller->perform(Action::installTool, menuSender(kOrbit));
  EXPECT_FALSE(global(&WindowLayout::checkButton).enabled);
  platform.runWorkers();
  EXPECT_TRUE(global(&WindowLayout::checkButton).enabled);
}

TEST_F(MenuAndGlobals, AutomaticCheckboxFollowsTheSetting) {
  start();
  EXPECT_FALSE(global(&WindowLayout::automatic).on);
  platform.settings[kDomain].erase("automaticChecks");  // absent reads as on
  controller->refresh();
  EXPECT_TRUE(global(&WindowLayout::automatic).on);
}

TEST_F(MenuAndGlobals, LoginCheckboxFollowsThePlatform) {
  platform.loginStatus = LoginItemStatus::enabled;
  start();
  EXPECT_TRUE(global(&WindowLayout::login).on);
  for (const auto status : {LoginItemStatus::notRegistered, LoginItemStatus::requiresApproval,
                            LoginItemStatus::notFound}) {
    platform.loginStatus = status;
    controller->refresh();
    EXPECT_FALSE(global(&WindowLayout::login).on);
    EXPECT_TRUE(global(&WindowLayout::login).enabled);
  }
}

TEST_F(MenuAndGlobals, LoginCheckboxDisabledWithoutSupportAndStateLeftAlone) {
  platform.loginSupported = false;
  start();
  EXPECT_FALSE(global(&WindowLayout::login).enabled);
  platform.controls.at(controller->layout().login).on = true;
  controller->refresh();
  EXPECT_TRUE(global(&WindowLayout::login).on);
}

TEST_F(MenuAndGlobals, MessagesStayUntilTheNextMessage) {
  start();
  EXPECT_EQ(control(row(kClip).message).text, "Aktualizace spravuje samotná aplikace.");
  EXPECT_EQ(control(row(kOrbit).message).text, "");
  controller->message(std::string("Něco se stalo."), tool(kOrbit));
  controller->refresh();
  EXPECT_EQ(control(row(kOrbit).message).text, "Něco se stalo.");
  EXPECT_EQ(control(row(kOrbit).message).toolTip, std::optional<std::string>("Něco se stalo."));
  controller->message(std::nullopt, tool(kOrbit));
  EXPECT_EQ(control(row(kOrbit).message).text, "");
  EXPECT_EQ(control(row(kOrbit).message).toolTip, std::nullopt);
}

TEST_F(MenuAndGlobals, RowsFollowTheDiskWithinOneTick) {
  start();
  EXPECT_EQ(control(row(kPane).state).text, "Nenainstalováno");
  install(kPane);
  platform.advance(1.0);
  EXPECT_EQ(control(row(kPane).state).text, "Vypnuto");
  const auto process = run(kPane);
  platform.advance(1.0);
  EXPECT_EQ(control(row(kPane).state).text, "Běží");
  std::erase(platform.running, process);
  platform.advance(1.0);
  EXPECT_EQ(control(row(kPane).state).text, "Vypnuto");
}

}  // namespace
}  // namespace kelvoma::app::testing
