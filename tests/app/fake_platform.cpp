#include "fake_platform.h"

#include <algorithm>

namespace kelvoma::app::testing {

FakePlatform::FakePlatform() = default;

void FakePlatform::addBundle(const std::string& path, const std::string& identifier,
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

RunningApplication FakePlatform::startProcess(const std::string& bundlePath,
                                              const std::string& identifier) {
  RunningApplication application{.pid = ++nextPid_,
                                 .startTime = static_cast<std::uint64_t>(now * 100),
                                 .bundleIdentifier = identifier,
                                 .bundlePath = bundlePath};
  running.push_back(application);
  return application;
}

void FakePlatform::drainMain() {
  while (!main_.empty()) {
    auto work = std::move(main_.front());
    main_.pop_front();
    work();
  }
}

void FakePlatform::runWorkers() {
  while (!workers_.empty()) {
    auto work = std::move(workers_.front());
    workers_.pop_front();
    work();
  }
  drainMain();
}

void FakePlatform::advance(double seconds) {
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

void FakePlatform::deliver(const std::string& notification) {
  if (const auto found = observers.find(notification); found != observers.end()) {
    auto handler = found->second;
    handler();
  }
  drainMain();
}

void FakePlatform::answerOpenPanel(std::optional<std::string> chosen) {
  auto completion = std::move(panelCompletion_);
  panelCompletion_ = nullptr;
  if (completion) {
    completion(std::move(chosen));
  }
  drainMain();
}

void FakePlatform::terminate() {
  if (delegate != nullptr && !delegate->applicationShouldTerminate()) {
    return;
  }
  if (delegate != nullptr) {
    delegate->applicationWillTerminate();
  }
  terminated = true;
}

void FakePlatform::setStatusMenu(const Menu& m) {
  menu = m;
  ++menusSet;
}

void FakePlatform::registerControls(const std::vector<ControlModel>& models) {
  for (const ControlModel& model : models) {
    if (model.id != noControl) {
      ControlState& state = controls[model.id];
      state.text = model.text;
      state.colour = model.colour;
      state.kind = model.kind;
      state.identifier = model.identifier;
    }
    registerControls(model.children);
  }
}

void FakePlatform::createWindow(const WindowModel& model) {
  window = model;
  registerControls(model.controls);
}

void FakePlatform::setText(ControlId control, const std::string& text) {
  controls.at(control).text = text;
}

void FakePlatform::setToolTip(ControlId control, const std::optional<std::string>& text) {
  controls.at(control).toolTip = text;
}

void FakePlatform::setTextColour(ControlId control, Colour colour) {
  controls.at(control).colour = colour;
}

void FakePlatform::setEnabled(ControlId control, bool enabled) {
  controls.at(control).enabled = enabled;
}

void FakePlatform::setState(ControlId control, bool on) { controls.at(control).on = on; }

std::optional<SettingValue> FakePlatform::readSetting(std::string_view domain,
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

void FakePlatform::writeSetting(std::string_view domain, std::string_view key,
                                const SettingValue& value) {
  settings[std::string(domain)][std::string(key)] = value;
  settingWrites.emplace_back(domain, key);
}

void FakePlatform::observeNotification(const std::string& name, std::function<void()> handler) {
  observers[name] = std::move(handler);
}

void FakePlatform::postNotification(const std::string& name, const std::string& object) {
  posted.emplace_back(name, object);
}

TimerId FakePlatform::scheduleRepeatingTimer(double seconds, TimerModes modes,
                                             std::function<void()> tick) {
  const TimerId id = ++lastTimer_;
  timers[id] = Timer{seconds, modes, std::move(tick), now + seconds};
  return id;
}

void FakePlatform::runOnMainAfter(double seconds, std::function<void()> work) {
  delayed_.emplace_back(now + seconds, std::move(work));
}

void FakePlatform::sleepFor(double seconds) {
  now += seconds;
  if (onSleep) {
    onSleep();
  }
}

std::optional<Document> FakePlatform::readPropertyList(const std::string& path) {
  ++readsOfPropertyLists;
  const auto found = plists.find(path);
  if (found == plists.end()) {
    return std::nullopt;
  }
  return found->second;
}

std::string FakePlatform::resolveSymlinks(const std::string& path) {
  const auto found = symlinks.find(path);
  return found == symlinks.end() ? path : found->second;
}

bool FakePlatform::isTerminated(const RunningApplication& application) {
  return std::ranges::find(running, application) == running.end();
}

void FakePlatform::terminateApplication(const RunningApplication& application) {
  terminateRequests.push_back(application);
  if (quitOnTerminate) {
    std::erase(running, application);
  }
}

void FakePlatform::openApplication(const std::string& bundlePath, const LaunchConfiguration& config,
                                   std::function<void(LaunchResult)> completion) {
  launches.push_back({bundlePath, config});
  events.push_back("launch");
  LaunchResult result = launchAnswer.value_or(LaunchResult{std::nullopt, true});
  // The workspace answers later, as the real one does.
  runOnMain([completion = std::move(completion), result] { completion(result); });
}

std::expected<void, std::string> FakePlatform::registerLoginItem() {
  ++loginRegistrations;
  if (loginAnswer) {
    loginStatus = LoginItemStatus::enabled;
  }
  return loginAnswer;
}

std::expected<void, std::string> FakePlatform::unregisterLoginItem() {
  ++loginUnregistrations;
  if (loginAnswer) {
    loginStatus = LoginItemStatus::notRegistered;
  }
  return loginAnswer;
}

void FakePlatform::showAlertSheet(const std::string& message, const std::string& informative) {
  alerts.push_back({message, informative, false});
}

void FakePlatform::runModalAlert(const std::string& message, const std::string& informative) {
  alerts.push_back({message, informative, true});
}

void FakePlatform::beginOpenPanelSheet(const OpenPanelOptions& options,
                                       std::function<void(std::optional<std::string>)> completion) {
  openPanel = options;
  panelCompletion_ = std::move(completion);
}

}  // namespace kelvoma::app::testing
