// An in-memory platform with an injectable clock: everything the controller
// does is recorded, and time only moves when the test moves it.
#pragma once

#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform.h"

namespace kelvoma::app::testing {

struct ControlState {
  std::string text;
  std::optional<std::string> toolTip;
  Colour colour = Colour::label;
  bool enabled = true;
  bool on = false;
  ControlKind kind = ControlKind::label;
  std::string identifier;
};

struct Launch {
  std::string bundlePath;
  LaunchConfiguration config;
};

struct Alert {
  std::string message;
  std::string informative;
  bool modal = false;
};

class FakePlatform final : public Platform {
 public:
  FakePlatform();

  // ---- What the test sets up ----
  std::vector<std::string> args = {"kelvoma"};
  std::string home = "/home/user";
  std::map<std::string, Document> plists;       // file path → contents
  std::map<std::string, std::string> symlinks;  // path → what it resolves to
  std::set<std::string> writable;
  std::vector<RunningApplication> running;
  bool quitOnTerminate = true;               // a terminated app goes away at once
  bool trayAvailable = true;                 // the desktop has a tray host
  std::optional<LaunchResult> launchAnswer;  // default: launched
  bool loginSupported = true;
  LoginItemStatus loginStatus = LoginItemStatus::notRegistered;
  std::expected<void, std::string> loginAnswer{};
  SystemVersion version{6, 1, 0};
  ApplicationDelegate* delegate = nullptr;

  // A bundle with an Info.plist at path.
  void addBundle(const std::string& path, const std::string& identifier,
                 std::optional<std::string> build = std::nullopt,
                 std::optional<std::string> shortVersion = std::nullopt);
  // A process running from the bundle at path with that identifier.
  RunningApplication startProcess(const std::string& bundlePath, const std::string& identifier);

  // ---- Driving time and queues ----
  double now = 1000.0;
  // Moves the clock, firing timers and delayed work that fall due, in order,
  // and running what they queue on the main thread.
  void advance(double seconds);
  // Runs queued main-thread work until none is left.
  void drainMain();
  // Runs queued worker jobs (and then the main-thread work they queue).
  void runWorkers();
  std::size_t pendingWorkers() const { return workers_.size(); }
  void deliver(const std::string& notification);  // a notification from another process
  void answerOpenPanel(std::optional<std::string> chosen);

  // ---- What the controller did ----
  std::optional<StatusItemModel> statusItem;
  std::optional<Menu> menu;
  int menusSet = 0;
  std::optional<WindowModel> window;
  std::map<ControlId, ControlState> controls;
  std::map<ControlId, double> scrolls;
  int windowShows = 0;
  int activations = 0;
  bool terminated = false;
  std::map<std::string, std::map<std::string, SettingValue>> settings;  // domain → key → value
  std::vector<std::pair<std::string, std::string>> settingWrites;       // domain, key
  std::vector<std::pair<std::string, std::string>> posted;              // name, object
  std::map<std::string, std::function<void()>> observers;
  std::vector<Launch> launches;
  std::vector<RunningApplication> terminateRequests;
  std::vector<Alert> alerts;
  std::optional<OpenPanelOptions> openPanel;
  int loginRegistrations = 0;
  int loginUnregistrations = 0;
  int readsOfPropertyLists = 0;
  std::vector<std::string> events;  // "show", "worker", "launch" in the order they happened

  struct Timer {
    double interval;
    TimerModes modes;
    std::function<void()> tick;
    double next;
  };
  std::map<TimerId, Timer> timers;

  // Platform.
  std::vector<std::string> arguments() override { return args; }
  void activateIgnoringOtherApps() override { ++activations; }
  void terminate() override;
  SystemVersion operatingSystemVersion() override { return version; }
  void createStatusItem(const StatusItemModel& model) override { statusItem = model; }
  bool statusItemAvailable() override { return trayAvailable; }
  void setStatusMenu(const Menu& m) override;
  void createWindow(const WindowModel& model) override;
  void showWindow() override {
    ++windowShows;
    events.push_back("show");
  }
  void setText(ControlId control, const std::string& text) override;
  void setToolTip(ControlId control, const std::optional<std::string>& text) override;
  void setTextColour(ControlId control, Colour colour) override;
  void setEnabled(ControlId control, bool enabled) override;
  void setState(ControlId control, bool on) override;
  void scrollTo(ControlId scrollView, double y) override { scrolls[scrollView] = y; }
  std::optional<SettingValue> readSetting(std::string_view domain, std::string_view key) override;
  void writeSetting(std::string_view domain, std::string_view key,
                    const SettingValue& value) override;
  void observeNotification(const std::string& name, std::function<void()> handler) override;
  void removeNotificationObservers() override { observers.clear(); }
  void postNotification(const std::string& name, const std::string& object) override;
  TimerId scheduleRepeatingTimer(double seconds, TimerModes modes,
                                 std::function<void()> tick) override;
  void invalidateTimer(TimerId timer) override { timers.erase(timer); }
  void runOnMainAfter(double seconds, std::function<void()> work) override;
  void runOnMain(std::function<void()> work) override { main_.push_back(std::move(work)); }
  void runOnMainAndWait(std::function<void()> work) override { work(); }
  void runOnWorker(std::function<void()> work) override {
    events.push_back("worker");
    workers_.push_back(std::move(work));
  }
  double uptime() override { return now; }
  void sleepFor(double seconds) override;
  std::string homeDirectory() override { return home; }
  std::optional<Document> readPropertyList(const std::string& path) override;
  std::string resolveSymlinks(const std::string& path) override;
  bool isWritable(const std::string& path) override { return writable.contains(path); }
  std::vector<RunningApplication> runningApplications() override { return running; }
  bool isTerminated(const RunningApplication& application) override;
  void terminateApplication(const RunningApplication& application) override;
  void openApplication(const std::string& bundlePath, const LaunchConfiguration& config,
                       std::function<void(LaunchResult)> completion) override;
  bool loginItemsSupported() override { return loginSupported; }
  LoginItemStatus loginItemStatus() override { return loginStatus; }
  std::expected<void, std::string> registerLoginItem() override;
  std::expected<void, std::string> unregisterLoginItem() override;
  void showAlertSheet(const std::string& message, const std::string& informative) override;
  void runModalAlert(const std::string& message, const std::string& informative) override;
  void beginOpenPanelSheet(const OpenPanelOptions& options,
                           std::function<void(std::optional<std::string>)> completion) override;

  // Called while sleeping, so that a test can make things happen over time.
  std::function<void()> onSleep;

 private:
  void registerControls(const std::vector<ControlModel>& models);
  std::deque<std::function<void()>> main_;
  std::deque<std::function<void()>> workers_;
  std::vector<std::pair<double, std::function<void()>>> delayed_;
  std::function<void(std::optional<std::string>)> panelCompletion_;
  TimerId lastTimer_ = 0;
  int nextPid_ = 4000;
};

}  // namespace kelvoma::app::testing
