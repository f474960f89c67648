#include "fake_platform.h"

#include <algorithm>

namespace kelvoma::app::testing {

void FakeFiles::addBundle(const std::string& path, const std::string& identifier,
                          std::optional<std::string> build,
                          std::optional<std::string> shortVersion) {
  Document info = Document::object();
  info["CFBundleIdentifier"] = identifier;
  if (build) {
    info["CFBundleVersion"] = *build;
  }
  if (shortVersion) {
    info["CFBundleShortVersionString"] = *shortVersion;
  }
  plists[path + "/Contents/Info.plist"] = info;
}

RunningApplication FakeWorkspace::startProcess(const std::string& bundlePath,
                                               const std::string& identifier) {
  RunningApplication application{.pid = ++nextPid_,
                                 .startTime = static_cast<std::uint64_t>(clock() * 100),
                                 .bundleIdentifier = identifier,
                                 .bundlePath = bundlePath};
  running.push_back(application);
  return application;
}

void FakeScheduler::drainMain() {
  while (!main_.empty()) {
    auto work = std::move(main_.front());
    main_.pop_front();
    work();
  }
}

void FakeScheduler::runWorkers() {
  while (!workers_.empty()) {
    auto work = std::move(workers_.front());
    workers_.pop_front();
    work();
  }
  drainMain();
}

void FakeScheduler::advance(double seconds) {
  const double until = now + seconds;
  while (true) {
    // The earliest due event among timers and delayed work.
    double next = until + 1;
    std::optional<TimerId> timer;
    for (const auto& [id, each] : timers) {
      if (each.next <= until && each.next < next) {
        next = each.next;
        timer = id;
      }
    }
    auto delayed =
        std::ranges::min_element(delayed_, {}, &std::pair<double, std::function<void()>>::first);
    if (delayed != delayed_.end() && delayed->first <= until && delayed->first < next) {
      now = delayed->first;
      auto work = std::move(delayed->second);
      delayed_.erase(delayed);
      work();
      drainMain();
      continue;
    }
    if (!timer) {
      break;
    }
    now = next;
    timers[*timer].next += timers[*timer].interval;
    auto tick = timers[*timer].tick;
    tick();
    drainMain();
  }
  now = until;
}

void FakeNotifications::deliver(const std::string& notification) {
  if (const auto found = observers.find(notification); found != observers.end()) {
    auto handler = found->second;
    handler();
  }
  settle();
}

void FakeDialogs::answerOpenPanel(std::optional<std::string> chosen) {
  auto completion = std::move(panelCompletion_);
  panelCompletion_ = nullptr;
  if (completion) {
    completion(std::move(chosen));
  }
  settle();
}

void FakeApplication::terminate() {
  if (delegate != nullptr && !delegate->applicationShouldTerminate()) {
    return;
  }
  if (delegate != nullptr) {
    delegate->applicationWillTerminate();
  }
  terminated = true;
}

void FakeScreen::setStatusMenu(const Menu& m) {
  menu = m;
  ++menusSet;
}

void FakeScreen::registerControls(const std::vector<ControlModel>& models) {
  for (const ControlModel& model : models) {
    if (model.id != noControl) {
      ControlState& state = controls[model.id];
      state.text = model.text;
      state.colour = model.colour;
      state.kind = model.kind;
      state.identifier = model.identifier;
      state.hidden = model.hidden;
    }
    registerControls(model.children);
  }
}

void FakeScreen::showWindow() {
  ++windowShows;
  windowOnScreen = true;
  note("show");
}

void FakeScreen::createWindow(const WindowModel& model) {
  window = model;
  registerControls(model.controls);
}

void FakeScreen::setText(ControlId control, const std::string& text) {
  controls.at(control).text = text;
}

void FakeScreen::setToolTip(ControlId control, const std::optional<std::string>& text) {
  controls.at(control).toolTip = text;
}

void FakeScreen::setTextColour(ControlId control, Colour colour) {
  controls.at(control).colour = colour;
}

void FakeScreen::setEnabled(ControlId control, bool enabled) {
  controls.at(control).enabled = enabled;
}

void FakeScreen::setState(ControlId control, bool on) { controls.at(control).on = on; }

void FakeScreen::setProgress(ControlId control, const ProgressValue& value) {
  controls.at(control).progress = value;
  ++controls.at(control).progressUpdates;
}

std::optional<SettingValue> FakeSettings::readSetting(std::string_view domain,
                                                      std::string_view key) {
  const auto store = settings.find(std::string(domain));
  if (store == settings.end()) {
    return std::nullopt;
  }
  const auto found = store->second.find(std::string(key));
  if (found == store->second.end()) {
    return std::nullopt;
  }
  return found->second;
}

void FakeSettings::writeSetting(std::string_view domain, std::string_view key,
                                const SettingValue& value) {
  settings[std::string(domain)][std::string(key)] = value;
  settingWrites.emplace_back(domain, key);
}

void FakeNotifications::observeNotification(const std::string& name,
                                            std::function<void()> handler) {
  observers[name] = std::move(handler);
}

void FakeNotifications::postNotification(const std::string& name, const std::string& object) {
  posted.emplace_back(name, object);
}

TimerId FakeScheduler::scheduleRepeatingTimer(double seconds, TimerModes modes,
                                              std::function<void()> tick) {
  const TimerId id = ++lastTimer_;
  timers[id] = Timer{seconds, modes, std::move(tick), now + seconds};
  return id;
}

void FakeScheduler::runOnWorker(std::function<void()> work) {
  note("worker");
  workers_.push_back(std::move(work));
}

void FakeScheduler::runOnMainAfter(double seconds, std::function<void()> work) {
  delayed_.emplace_back(now + seconds, std::move(work));
}

void FakeScheduler::sleepFor(double seconds) {
  now += seconds;
  if (onSleep) {
    onSleep();
  }
}

std::optional<Document> FakeFiles::readPropertyList(const std::string& path) {
  ++readsOfPropertyLists;
  const auto found = plists.find(path);
  if (found == plists.end()) {
    return std::nullopt;
  }
  return found->second;
}

std::string FakeFiles::resolveSymlinks(const std::string& path) {
  const auto found = symlinks.find(path);
  return found == symlinks.end() ? path : found->second;
}

bool FakeWorkspace::isTerminated(const RunningApplication& application) {
  return std::ranges::find(running, application) == running.end();
}

void FakeWorkspace::terminateApplication(const RunningApplication& application) {
  terminateRequests.push_back(application);
  if (quitOnTerminate) {
    std::erase(running, application);
  }
}

void FakeWorkspace::openApplication(const std::string& bundlePath,
                                    const LaunchConfiguration& config,
                                    std::function<void(LaunchResult)> completion) {
  launches.push_back({bundlePath, config});
  note("launch");
  if (launchStarts) {
    startProcess(bundlePath, launchedIdentifier(bundlePath));
  }
  LaunchResult result = launchAnswer.value_or(LaunchResult{std::nullopt, true});
  // The workspace answers later, as the real one does.
  queueOnMain([completion = std::move(completion), result] { completion(result); });
}

std::expected<void, std::string> FakeLoginItems::registerLoginItem() {
  ++loginRegistrations;
  if (loginAnswer) {
    loginStatus = LoginItemStatus::enabled;
  }
  return loginAnswer;
}

std::expected<void, std::string> FakeLoginItems::unregisterLoginItem() {
  ++loginUnregistrations;
  if (loginAnswer) {
    loginStatus = LoginItemStatus::notRegistered;
  }
  return loginAnswer;
}

void FakeDialogs::showAlertSheet(const std::string& message, const std::string& informative) {
  alerts.push_back({message, informative, false});
}

void FakeDialogs::runModalAlert(const std::string& message, const std::string& informative) {
  alerts.push_back({message, informative, true});
}

void FakeDialogs::beginOpenPanelSheet(const OpenPanelOptions& options,
                                      std::function<void(std::optional<std::string>)> completion) {
  openPanel = options;
  panelCompletion_ = std::move(completion);
}

std::expected<void, std::string> FakeDesktop::publishEntry(const std::string& id,
                                                           const std::optional<ToolEntry>& entry) {
  if (entry) {
    entries[id] = *entry;
  } else {
    entries.erase(id);
  }
  return {};
}

std::expected<TrashedBundle, std::string> FakeDesktop::moveToTrash(const std::string& bundlePath) {
  const TrashedBundle bundle{.originalPath = bundlePath,
                             .trashedPath = "/trash/files/" + std::to_string(trash.size()),
                             .infoPath = "/trash/info/" + std::to_string(trash.size()),
                             .device = 1,
                             .inode = ++movedToTrash_};
  if (!moveBundle(bundlePath, bundle.trashedPath)) {
    return std::unexpected("Aplikaci se nepodařilo přesunout do koše.");
  }
  trash.push_back(bundle);
  return bundle;
}

std::expected<void, std::string> FakeDesktop::putBack(const TrashedBundle& bundle) {
  if (std::ranges::find(trash, bundle) == trash.end()) {
    return std::unexpected("Aplikace už v koši není.");
  }
  if (!moveBundle(bundle.trashedPath, bundle.originalPath)) {
    return std::unexpected("Na původním místě aplikace teď něco je.");
  }
  std::erase(trash, bundle);
  return {};
}

std::string FakePlatform::launchedIdentifier(const std::string& bundlePath) {
  const auto info = plists.find(bundlePath + "/Contents/Info.plist");
  return info == plists.end() ? std::string()
                              : textOf(info->second, "CFBundleIdentifier").value_or("");
}

bool FakePlatform::moveBundle(const std::string& from, const std::string& to) {
  const std::string plist = "/Contents/Info.plist";
  const auto source = plists.find(from + plist);
  if (source == plists.end() || plists.contains(to + plist)) {
    return false;
  }
  plists[to + plist] = source->second;
  plists.erase(from + plist);
  return true;
}

void FakeDesktopNotifications::invokeNotice(const std::string& topic, const std::string& action) {
  const auto last = std::ranges::find_if(notices.rbegin(), notices.rend(), [&](const auto& each) {
    return each.notice.topic == topic;
  });
  if (last != notices.rend() && last->onAction) {
    last->onAction(action);
  }
  settle();
}

}  // namespace kelvoma::app::testing
