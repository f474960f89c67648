// The controller's state, start-up, refresh, termination and the queries on
// tools that every flow uses. The flows live in their own files.
#include "controller.h"
#include "tool_place.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

namespace kelvoma::app {
namespace {

constexpr std::string_view kStatusAutosaveName = "KelvomaStatusItem";
constexpr std::string_view kPositionResetDone = "compactMenuPositionV1";

std::string enabledKey(const Tool& tool) { return "enabled." + tool.id; }

}  // namespace

Kelvoma::Kelvoma(Platform platform, Core core, Timing timing)
    : platform_(platform), core_(std::move(core)), timing_(timing), defaults_(platform.settings) {}

Kelvoma::~Kelvoma() = default;

// ---- Life of the application -------------------------------------------

void Kelvoma::applicationDidFinishLaunching() {
  tools_ = askCatalog(core_).tools;
  rows_.clear();
  records_.clear();
  for (const Tool& each : tools_) {
    records_[each.id] = ToolRecord{};
  }

  platform_.screen.createStatusItem(StatusItemModel{
      .autosaveName = std::string(kStatusAutosaveName),
      .symbol = "square.stack.3d.up",
      .accessibilityDescription = "Kelvoma",
      .imageSize = 18,
      .templateImage = true,
      .accessibilityLabel = "Kelvoma · správce nástrojů",
      .toolTip = "Kelvoma · správce nástrojů",
  });
  resetStatusItemPositionOnce();

  makeWindow();
  refresh();
  launchRememberedTools();

  timer_ = platform_.scheduler.scheduleRepeatingTimer(timing_.refreshInterval,
                                                      TimerModes::commonModes, [this] {
                                                        refresh();
                                                        // Waiting updates are looked at again with
                                                        // what the refresh saw.
                                                        for (const Tool& each : tools_) {
                                                          apply(each, event::Tick{});
                                                        }
                                                      });
  checkTimer_ = platform_.scheduler.scheduleRepeatingTimer(
      timing_.checkInterval, TimerModes::defaultMode, [this] { scheduledCheck(); });
  platform_.notifications.observeNotification("KelvomaCheckUpdates", [this] { checkRequested(); });

  if (core_.recover) {
    recoverAtStart(automaticChecks());
  } else if (automaticChecks()) {
    checkAll();
  }
  // Without a tray host the window is all there is of the application.
  const auto arguments = platform_.application.arguments();
  if (std::ranges::find(arguments, "--background") == arguments.end() ||
      !platform_.screen.statusItemAvailable()) {
    show();
  }
}

void Kelvoma::resetStatusItemPositionOnce() {
  if (defaults_.boolForKey(kPositionResetDone)) {
    return;
  }
  defaults_.setDouble("NSStatusItem Preferred Position " + std::string(kStatusAutosaveName), 0.0);
  defaults_.setBool(kPositionResetDone, true);
}

// The user's remembered choice is re-applied at every start; a tool seen for
// the first time keeps whatever state it is in now.
void Kelvoma::launchRememberedTools() {
  const auto running = platform_.workspace.runningApplications();
  for (const Tool& each : tools_) {
    launchIfRemembered(each, running);
  }
}

// A tool without an installed copy is left alone: start-up recovery may put
// it back, and then launches it (recovering.cpp).
void Kelvoma::launchIfRemembered(const Tool& each, const std::vector<RunningApplication>& running) {
  const auto located = locate(each);
  if (!located) {
    return;
  }
  announceManagement(each);
  if (!defaults_.hasObject(enabledKey(each))) {
    remember(each, choiceOf(!instancesAmong(running, each, located->path).empty()));
  }
  if (defaults_.boolForKey(enabledKey(each)) && !holdForUpdate(each)) {
    openTool(each, Opening::background);
  }
}

bool Kelvoma::applicationShouldTerminate() { return busy().empty(); }

void Kelvoma::applicationShouldHandleReopen() { show(); }

void Kelvoma::applicationWillTerminate() {
  if (timer_) {
    platform_.scheduler.invalidateTimer(*timer_);
    timer_.reset();
  }
  if (checkTimer_) {
    platform_.scheduler.invalidateTimer(*checkTimer_);
    checkTimer_.reset();
  }
  platform_.notifications.removeNotificationObservers();
}

void Kelvoma::perform(Action action, const Sender& sender) {
  switch (action) {
    case Action::show:
      return show();
    case Action::quit:
      return quit();
    case Action::checkAll:
      return checkAll(originOf(sender));
    case Action::changeAutomatic:
      return changeAutomatic(sender);
    case Action::changeAutomaticInstall:
      return changeAutomaticInstall(sender);
    case Action::changeLogin:
      return changeLogin(sender);
    case Action::toggleTool:
      return toggleTool(sender);
    case Action::settingsTool:
      return settingsTool(sender);
    case Action::installTool:
      return installTool(sender);
    case Action::chooseApplication:
      return chooseApplication(sender);
    case Action::trashTool:
      return trashTool(sender);
    case Action::updateAll:
      return updateAll();
    case Action::showNotes:
      return showNotes(sender);
  }
}

void Kelvoma::show() {
  platform_.application.activateIgnoringOtherApps();
  platform_.screen.showWindow();
  const bool unseen =
      std::ranges::any_of(records_, [](const auto& each) { return needsAttention(each.second); });
  for (const Tool& each : tools_) {
    apply(each, event::WindowShown{});
  }
  if (unseen) {
    refresh();
  }
}

void Kelvoma::quit() { platform_.application.terminate(); }

// ---- Window and menu ------------------------------------------------------

void Kelvoma::makeWindow() {
  layout_ = makeWindowLayout(tools_);
  platform_.screen.createWindow(layout_.window);
  rows_ = layout_.rows;
  // Show the first row at the top of the list.
  platform_.screen.scrollTo(layout_.scrollView,
                            std::max(layout_.listHeight - layout_.scrollContentHeight, 0.0));
  windowMade_ = true;
}

void Kelvoma::message(const std::optional<std::string>& text, const Tool& forTool) {
  const auto row = rows_.find(forTool.id);
  if (row == rows_.end()) {
    return;
  }
  platform_.screen.setText(row->second.message, text.value_or(""));
  platform_.screen.setToolTip(row->second.message, text);
}

void Kelvoma::refresh() {
  std::vector<std::optional<Located>> copies;
  std::vector<std::string> bundles;
  for (const Tool& each : tools_) {
    copies.push_back(locate(each));
    if (copies.back()) {
      bundles.push_back(copies.back()->path);
    }
  }
  const auto running = platform_.workspace.runningApplicationsIn(bundles);
  std::vector<ToolSnapshot> snapshots;
  snapshots.reserve(tools_.size());
  for (std::size_t i = 0; i < tools_.size(); ++i) {
    const Tool& each = tools_[i];
    apply(each, event::Observed{copyOf(each, running, copies[i])});
    publishEntry(each, copies[i]);
    snapshots.push_back(app::snapshotOf(each, records_.at(each.id)));
    if (const auto row = rows_.find(each.id); row != rows_.end()) {
      writeRow(row->second, rowPresentation(snapshots.back()));
    }
  }
  platform_.screen.setStatusMenu(statusMenu(tools_, snapshots));
  refreshStatusItem();
  refreshGlobalControls();
  if (windowMade_) {
    const bool updating =
        std::ranges::any_of(records_, [](const auto& each) { return inUpdateRun(each.second); });
    platform_.screen.setHidden(layout_.updateAllButton, updating || updatableCount(snapshots) < 2);
  }
}

void Kelvoma::writeRow(const RowRecord& row, const RowPresentation& presentation) {
  platform_.screen.setText(row.state, presentation.stateText);
  platform_.screen.setTextColour(row.state, presentation.stateColour);
  platform_.screen.setText(row.version, presentation.versionText);
  platform_.screen.setState(row.toggle, presentation.toggleOn);
  platform_.screen.setEnabled(row.toggle, presentation.toggleEnabled);
  platform_.screen.setEnabled(row.settings, presentation.settingsEnabled);
  platform_.screen.setText(row.install, presentation.installTitle);
  platform_.screen.setEnabled(row.install, presentation.installEnabled);
  platform_.screen.setText(row.trash, presentation.trashTitle);
  platform_.screen.setEnabled(row.trash, presentation.trashEnabled);
  platform_.screen.setHidden(row.notes, !presentation.notesShown);
}

void Kelvoma::refreshGlobalControls() {
  if (!windowMade_) {
    return;
  }
  platform_.screen.setEnabled(layout_.checkButton, busy().empty() && checking().empty());
  platform_.screen.setState(layout_.automatic, automaticChecks());
  platform_.screen.setState(layout_.automaticInstall, automaticInstall());
  if (platform_.loginItems.loginItemsSupported()) {
    platform_.screen.setState(layout_.login,
                              platform_.loginItems.loginItemStatus() == LoginItemStatus::enabled);
  } else {
    platform_.screen.setEnabled(layout_.login, false);
  }
}

// ---- Queries on tools -------------------------------------------------------

Document Kelvoma::infoDictionaryAtURL(const std::optional<std::string>& url) {
  if (!url) {
    return Document::object();
  }
  auto info = platform_.files.readPropertyList(*url + "/Contents/Info.plist");
  if (!info || !info->is_object()) {
    return Document::object();
  }
  return std::move(*info);
}

bool Kelvoma::carriesIdentifier(const std::string& path, const Tool& forTool, Document& info) {
  info = infoDictionaryAtURL(path);
  return textOf(info, "CFBundleIdentifier") == forTool.bundleId;
}

std::optional<Kelvoma::Located> Kelvoma::locate(const Tool& forTool) {
  auto found = locateCopy(forTool, defaults_.stringForKey(applicationPathKey(forTool)),
                          platform_.files.homeDirectory(),
                          [this](const std::string& path) { return infoDictionaryAtURL(path); });
  if (!found) {
    return std::nullopt;
  }
  return Located{.path = std::move(found->path), .info = std::move(found->info)};
}

std::optional<std::string> Kelvoma::applicationURLForTool(const Tool& forTool) {
  auto located = locate(forTool);
  if (!located) {
    return std::nullopt;
  }
  return std::move(located->path);
}

std::vector<RunningApplication> Kelvoma::instancesAmong(
    const std::vector<RunningApplication>& running, const Tool& forTool, const std::string& url) {
  return instancesOf(
      running, forTool, url,
      [this](const std::string& path) { return platform_.files.resolveSymlinks(path); },
      [this](const RunningApplication& each) { return platform_.workspace.isTerminated(each); });
}

std::vector<RunningApplication> Kelvoma::runningInstancesOfTool(
    const Tool& forTool, const std::optional<std::string>& url) {
  if (!url) {
    return {};
  }
  return instancesAmong(platform_.workspace.runningApplications(), forTool, *url);
}

void Kelvoma::announceManagement(const Tool& forTool) {
  if (forTool.external) {
    return;
  }
  platform_.settings.writeSetting(forTool.bundleId, "managedByKelvoma", true);
  platform_.notifications.postNotification("KelvomaManagementChanged", forTool.bundleId);
}

std::string Kelvoma::identifier(const Sender& sender) const {
  return sender.kind == Sender::Kind::menuItem ? sender.representedObject : sender.identifier;
}

const Tool* Kelvoma::tool(std::string_view id) const {
  const auto found = std::ranges::find(tools_, id, &Tool::id);
  return found == tools_.end() ? nullptr : &*found;
}

ToolSnapshot Kelvoma::snapshotOf(const Tool& forTool) {
  observe(forTool);
  return app::snapshotOf(forTool, records_.at(forTool.id));
}

std::map<std::string, CheckAnswer> Kelvoma::releases() const {
  std::map<std::string, CheckAnswer> checked;
  for (const auto& [id, record] : records_) {
    if (record.lastCheck) {
      checked.emplace(id, *record.lastCheck);
    }
  }
  return checked;
}

std::set<std::string> Kelvoma::busy() const {
  std::set<std::string> ids;
  for (const auto& [id, record] : records_) {
    if (app::busy(record)) {
      ids.insert(id);
    }
  }
  return ids;
}

std::set<std::string> Kelvoma::checking() const {
  std::set<std::string> ids;
  for (const auto& [id, record] : records_) {
    if (record.checking) {
      ids.insert(id);
    }
  }
  return ids;
}

std::string Kelvoma::operatingSystemVersionText() {
  const SystemVersion version = platform_.application.operatingSystemVersion();
  char text[72];
  std::snprintf(text, sizeof text, "%ld.%ld.%ld", version.major, version.minor, version.patch);
  return text;
}

}  // namespace kelvoma::app
