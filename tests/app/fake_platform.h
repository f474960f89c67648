// An in-memory platform with an injectable clock: everything the controller
// does is recorded, and time only moves when the test moves it. One fake per
// interface; FakePlatform joins them and is what the tests hold.
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

// What a part of the fake asks of the whole it belongs to. FakePlatform
// answers for every part at once.
class FakePart {
 public:
  virtual ~FakePart() = default;

 protected:
  virtual void note(const char* event) = 0;  // into FakePlatform::events
  virtual double clock() const = 0;
  virtual void queueOnMain(std::function<void()> work) = 0;
  virtual void settle() = 0;  // runs the main-thread work queued so far
};

class FakeApplication : public Application {
 public:
  std::vector<std::string> args = {"kelvoma"};
  SystemVersion version{6, 1, 0};
  ApplicationDelegate* delegate = nullptr;
  int activations = 0;
  bool terminated = false;

  std::vector<std::string> arguments() override { return args; }
  void activateIgnoringOtherApps() override { ++activations; }
  void terminate() override;
  SystemVersion operatingSystemVersion() override { return version; }
};

struct ControlState {
  std::string text;
  std::optional<std::string> toolTip;
  Colour colour = Colour::label;
  bool enabled = true;
  bool on = false;
  ControlKind kind = ControlKind::label;
  std::string identifier;
  bool hidden = false;
  ProgressValue progress;
  int progressUpdates = 0;
};

class FakeScreen : public Screen, protected FakePart {
 public:
  std::optional<StatusItemModel> statusItem;
  std::optional<Menu> menu;
  int menusSet = 0;
  std::optional<WindowModel> window;
  std::map<ControlId, ControlState> controls;
  std::map<ControlId, double> scrolls;
  int windowShows = 0;
  bool windowOnScreen = false;  // shown and not since closed by the test
  bool windowFocused = true;    // while on screen: the active window
  bool trayAvailable = true;    // the desktop has a tray host
  std::string statusToolTip;
  bool statusNeedsAttention = false;

  void createStatusItem(const StatusItemModel& model) override { statusItem = model; }
  bool statusItemAvailable() override { return trayAvailable; }
  void setStatusItemState(const std::string& toolTip, bool needsAttention) override {
    statusToolTip = toolTip;
    statusNeedsAttention = needsAttention;
  }
  bool windowVisible() override { return windowOnScreen; }
  bool windowActive() override { return windowOnScreen && windowFocused; }
  void setStatusMenu(const Menu& m) override;
  void createWindow(const WindowModel& model) override;
  void showWindow() override;
  void setText(ControlId control, const std::string& text) override;
  void setToolTip(ControlId control, const std::optional<std::string>& text) override;
  void setTextColour(ControlId control, Colour colour) override;
  void setEnabled(ControlId control, bool enabled) override;
  void setState(ControlId control, bool on) override;
  void scrollTo(ControlId scrollView, double y) override { scrolls[scrollView] = y; }
  void setHidden(ControlId control, bool hidden) override { controls.at(control).hidden = hidden; }
  void setProgress(ControlId control, const ProgressValue& value) override;

 private:
  void registerControls(const std::vector<ControlModel>& models);
};

class FakeSettings : public Settings {
 public:
  std::map<std::string, std::map<std::string, SettingValue>> settings;  // domain → key → value
  std::vector<std::pair<std::string, std::string>> settingWrites;       // domain, key

  std::optional<SettingValue> readSetting(std::string_view domain, std::string_view key) override;
  void writeSetting(std::string_view domain, std::string_view key,
                    const SettingValue& value) override;
};

class FakeNotifications : public Notifications, protected FakePart {
 public:
  std::vector<std::pair<std::string, std::string>> posted;  // name, object
  std::map<std::string, std::function<void()>> observers;

  void deliver(const std::string& notification);  // a notification from another process

  void observeNotification(const std::string& name, std::function<void()> handler) override;
  void removeNotificationObservers() override { observers.clear(); }
  void postNotification(const std::string& name, const std::string& object) override;
};

class FakeScheduler : public Scheduler, protected FakePart {
 public:
  double now = 1000.0;
  LocalTime wallClock{14, 5};
  struct Timer {
    double interval;
    TimerModes modes;
    std::function<void()> tick;
    double next;
  };
  std::map<TimerId, Timer> timers;
  // Called while sleeping, so that a test can make things happen over time.
  std::function<void()> onSleep;

  // Moves the clock, firing timers and delayed work that fall due, in order,
  // and running what they queue on the main thread.
  void advance(double seconds);
  // Runs queued main-thread work until none is left.
  void drainMain();
  // Runs queued worker jobs (and then the main-thread work they queue).
  void runWorkers();
  std::size_t pendingWorkers() const { return workers_.size(); }

  TimerId scheduleRepeatingTimer(double seconds, TimerModes modes,
                                 std::function<void()> tick) override;
  void invalidateTimer(TimerId timer) override { timers.erase(timer); }
  void runOnMainAfter(double seconds, std::function<void()> work) override;
  void runOnMain(std::function<void()> work) override { main_.push_back(std::move(work)); }
  void runOnMainAndWait(std::function<void()> work) override { work(); }
  void runOnWorker(std::function<void()> work) override;
  double uptime() override { return now; }
  void sleepFor(double seconds) override;
  LocalTime localTime() override { return wallClock; }

 private:
  std::deque<std::function<void()>> main_;
  std::deque<std::function<void()>> workers_;
  std::vector<std::pair<double, std::function<void()>>> delayed_;
  TimerId lastTimer_ = 0;
};

class FakeFiles : public Files {
 public:
  std::string home = "/home/user";
  std::map<std::string, Document> plists;       // file path → contents
  std::map<std::string, std::string> symlinks;  // path → what it resolves to
  std::set<std::string> writable;
  std::set<std::string> directories;
  int readsOfPropertyLists = 0;

  // A bundle with an Info.plist at path.
  void addBundle(const std::string& path, const std::string& identifier,
                 std::optional<std::string> build = std::nullopt,
                 std::optional<std::string> shortVersion = std::nullopt);

  std::string homeDirectory() override { return home; }
  std::optional<Document> readPropertyList(const std::string& path) override;
  std::string resolveSymlinks(const std::string& path) override;
  bool isDirectory(const std::string& path) override { return directories.contains(path); }
  bool isWritable(const std::string& path) override { return writable.contains(path); }
};

struct Launch {
  std::string bundlePath;
  LaunchConfiguration config;
};

class FakeWorkspace : public Workspace, protected FakePart {
 public:
  std::vector<RunningApplication> running;
  bool quitOnTerminate = true;               // a terminated app goes away at once
  std::optional<LaunchResult> launchAnswer;  // default: launched
  std::vector<Launch> launches;
  std::vector<RunningApplication> terminateRequests;
  bool launchStarts = false;  // a launch of a bundle starts a process of it

  // A process running from the bundle at path with that identifier.
  RunningApplication startProcess(const std::string& bundlePath, const std::string& identifier);
  virtual std::string launchedIdentifier(const std::string& bundlePath) = 0;

  std::vector<RunningApplication> runningApplications() override { return running; }
  bool isTerminated(const RunningApplication& application) override;
  void terminateApplication(const RunningApplication& application) override;
  void openApplication(const std::string& bundlePath, const LaunchConfiguration& config,
                       std::function<void(LaunchResult)> completion) override;

 private:
  int nextPid_ = 4000;
};

class FakeLoginItems : public LoginItems {
 public:
  bool loginSupported = true;
  LoginItemStatus loginStatus = LoginItemStatus::notRegistered;
  std::expected<void, std::string> loginAnswer{};
  int loginRegistrations = 0;
  int loginUnregistrations = 0;

  bool loginItemsSupported() override { return loginSupported; }
  LoginItemStatus loginItemStatus() override { return loginStatus; }
  std::expected<void, std::string> registerLoginItem() override;
  std::expected<void, std::string> unregisterLoginItem() override;
};

// Entries as published; the trash moves the fake files' bundles.
class FakeDesktop : public Desktop {
 public:
  std::map<std::string, ToolEntry> entries;  // by tool id
  std::vector<TrashedBundle> trash;
  std::uint64_t movedToTrash_ = 0;  // numbers each move, as an inode would

  std::expected<void, std::string> publishEntry(const std::string& id,
                                                const std::optional<ToolEntry>& entry) override;
  std::expected<TrashedBundle, std::string> moveToTrash(const std::string& bundlePath) override;
  std::expected<void, std::string> putBack(const TrashedBundle& bundle) override;

 protected:
  // Moves what lies at from to to; false when to is taken or from is gone.
  virtual bool moveBundle(const std::string& from, const std::string& to) = 0;
};

struct Alert {
  std::string message;
  std::string informative;
  bool modal = false;
};

class FakeDialogs : public Dialogs, protected FakePart {
 public:
  std::vector<Alert> alerts;
  std::optional<OpenPanelOptions> openPanel;
  std::vector<TextPanel> textPanels;

  void answerOpenPanel(std::optional<std::string> chosen);

  void showAlertSheet(const std::string& message, const std::string& informative) override;
  void runModalAlert(const std::string& message, const std::string& informative) override;
  void beginOpenPanelSheet(const OpenPanelOptions& options,
                           std::function<void(std::optional<std::string>)> completion) override;
  void showTextPanel(const TextPanel& panel) override { textPanels.push_back(panel); }

 private:
  std::function<void(std::optional<std::string>)> panelCompletion_;
};

struct PostedNotice {
  DesktopNotice notice;
  std::function<void(const std::string& action)> onAction;
};

class FakeDesktopNotifications : public DesktopNotifications, protected FakePart {
 public:
  std::vector<PostedNotice> notices;           // every notice posted, in order
  std::vector<std::string> withdrawn;          // topics, in the order they were taken back
  std::map<std::string, DesktopNotice> shown;  // by topic: posted and not taken back

  // The user clicks the last notice of that topic ("default") or one of its
  // actions.
  void invokeNotice(const std::string& topic, const std::string& action = "default");

  void notify(const DesktopNotice& notice,
              std::function<void(const std::string& action)> onAction) override {
    shown[notice.topic] = notice;
    notices.push_back({notice, std::move(onAction)});
  }
  void withdraw(const std::string& topic) override {
    withdrawn.push_back(topic);
    shown.erase(topic);
  }
};

class FakeNetworkCost : public NetworkCost {
 public:
  bool meteredConnection = false;
  bool metered() override { return meteredConnection; }
};

class FakePlatform final : public FakeApplication,
                           public FakeScreen,
                           public FakeSettings,
                           public FakeNotifications,
                           public FakeScheduler,
                           public FakeFiles,
                           public FakeWorkspace,
                           public FakeLoginItems,
                           public FakeDesktop,
                           public FakeDialogs,
                           public FakeDesktopNotifications,
                           public FakeNetworkCost {
 public:
  std::vector<std::string> events;  // "show", "worker", "launch" in the order they happened

 protected:
  void note(const char* event) override { events.emplace_back(event); }
  double clock() const override { return now; }
  void queueOnMain(std::function<void()> work) override { runOnMain(std::move(work)); }
  void settle() override { drainMain(); }
  bool moveBundle(const std::string& from, const std::string& to) override;
  std::string launchedIdentifier(const std::string& bundlePath) override;
};

}  // namespace kelvoma::app::testing
