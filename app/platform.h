// The seams between the controller and the world, one narrow interface per
// concern, and Platform, the set of them that the controller is given.
//
// The controller (app/controller.h) decides everything the user sees and every
// effect; an implementation only draws, stores and forwards. The Qt
// implementation (app/qt/) has one class per interface, joined into QtPlatform;
// the test fake (tests/app/) is split the same way.
//
// Threads: every member is called on the main thread, except those of
// Scheduler that say otherwise.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "document.h"
#include "ui_model.h"

namespace kelvoma::app {

// What the controller hears from the platform: the application's life and the
// actions of menu items and controls. The controller implements it.
class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  virtual void applicationDidFinishLaunching() = 0;
  // false cancels the termination request; nothing is shown either way.
  virtual bool applicationShouldTerminate() = 0;
  // The user started the application again while it runs.
  virtual void applicationShouldHandleReopen() = 0;
  virtual void applicationWillTerminate() = 0;
  virtual void perform(Action action, const Sender& sender) = 0;
};

struct SystemVersion {
  long major = 0;
  long minor = 0;
  long patch = 0;
};

// The application itself: how it was started, its place in front of the
// user, its end, and the system it runs on.
class Application {
 public:
  virtual ~Application() = default;
  virtual std::vector<std::string> arguments() = 0;
  virtual void activateIgnoringOtherApps() = 0;
  // Asks to terminate; the request goes through applicationShouldTerminate.
  virtual void terminate() = 0;
  virtual SystemVersion operatingSystemVersion() = 0;
};

// The status item with its menu, and the manager window with its controls.
class Screen {
 public:
  virtual ~Screen() = default;
  // setStatusMenu replaces the previous menu.
  virtual void createStatusItem(const StatusItemModel& model) = 0;
  // Whether the desktop shows the status item (a tray host is present).
  virtual bool statusItemAvailable() = 0;
  virtual void setStatusMenu(const Menu& menu) = 0;
  // The item's tool tip, and whether it asks for the user's attention (an
  // update waits, or an installation failed unseen).
  virtual void setStatusItemState(const std::string& toolTip, bool needsAttention) = 0;
  // The window is built once; its controls are addressed by the ids that the
  // controller gave them in the WindowModel.
  virtual void createWindow(const WindowModel& model) = 0;
  // Make key and order to the front, from any state (closed, minimized,
  // behind other windows).
  virtual void showWindow() = 0;
  // Whether the window is open on the screen (not closed, not minimized).
  virtual bool windowVisible() = 0;
  // Whether the window is open and the active one, the user's focus in it.
  virtual bool windowActive() = 0;
  virtual void setText(ControlId control, const std::string& text) = 0;
  virtual void setToolTip(ControlId control, const std::optional<std::string>& text) = 0;
  virtual void setTextColour(ControlId control, Colour colour) = 0;
  virtual void setEnabled(ControlId control, bool enabled) = 0;
  virtual void setState(ControlId control, bool on) = 0;
  // Scrolls a scroll view's document to a point given from its bottom-left.
  virtual void scrollTo(ControlId scrollView, double y) = 0;
  virtual void setHidden(ControlId control, bool hidden) = 0;
  virtual void setProgress(ControlId progressBar, const ProgressValue& value) = 0;
};

// A user-default value as stored; a store that keeps only text may hand back
// text for every kind (readers in user_defaults.h interpret it).
using SettingValue = std::variant<bool, double, std::string>;

// Settings: one store per domain, each write flushed at once so that other
// processes see it.
class Settings {
 public:
  virtual ~Settings() = default;
  virtual std::optional<SettingValue> readSetting(std::string_view domain,
                                                  std::string_view key) = 0;
  virtual void writeSetting(std::string_view domain, std::string_view key,
                            const SettingValue& value) = 0;
};

// Notifications between processes (any sender; object as text).
class Notifications {
 public:
  virtual ~Notifications() = default;
  virtual void observeNotification(const std::string& name, std::function<void()> handler) = 0;
  virtual void removeNotificationObservers() = 0;
  virtual void postNotification(const std::string& name, const std::string& object) = 0;
};

// The wall clock in the user's time zone, 24-hour.
struct LocalTime {
  int hour = 0;
  int minute = 0;
};

enum class TimerModes { defaultMode, commonModes };
using TimerId = int;

// Timers, the main thread, workers and the clock.
class Scheduler {
 public:
  virtual ~Scheduler() = default;
  virtual TimerId scheduleRepeatingTimer(double seconds, TimerModes modes,
                                         std::function<void()> tick) = 0;
  virtual void invalidateTimer(TimerId timer) = 0;
  virtual void runOnMainAfter(double seconds, std::function<void()> work) = 0;
  virtual void runOnMain(std::function<void()> work) = 0;         // any thread
  virtual void runOnMainAndWait(std::function<void()> work) = 0;  // any thread
  virtual void runOnWorker(std::function<void()> work) = 0;
  virtual double uptime() = 0;                // monotonic seconds; any thread
  virtual void sleepFor(double seconds) = 0;  // blocks the calling thread; any thread
  virtual LocalTime localTime() = 0;
};

// Files: the home folder, property lists, links and permissions.
class Files {
 public:
  virtual ~Files() = default;
  virtual std::string homeDirectory() = 0;
  // The property list at path when it is readable; any top-level kind.
  virtual std::optional<Document> readPropertyList(const std::string& path) = 0;
  virtual std::string resolveSymlinks(const std::string& path) = 0;
  virtual bool isWritable(const std::string& path) = 0;
  virtual bool isDirectory(const std::string& path) = 0;
};

// One process running from inside an application bundle. (pid, startTime)
// identifies it, so a reused process id is never mistaken for the tool.
struct RunningApplication {
  int pid = 0;
  std::uint64_t startTime = 0;
  std::string bundleIdentifier;
  std::string bundlePath;  // the ".app" folder its executable lies in
  bool operator==(const RunningApplication&) const = default;
};

struct LaunchConfiguration {
  std::vector<std::string> arguments;
  bool activates = false;
  bool operator==(const LaunchConfiguration&) const = default;
};

// What a launch reports back: an error (already a user-facing Czech text), or
// whether a running application came of it.
struct LaunchResult {
  std::optional<std::string> error;
  bool launched = false;
};

// The workspace: running applications and launching them. runningApplications
// lists every process that runs from inside an application bundle, read
// afresh. runningApplicationsIn is the once-a-second refresh's question about
// the tools' installed copies only: it lists at least the processes running
// from inside those bundles, and an implementation may answer it from what it
// has learnt since the last call rather than by reading every process. The
// launch completion may arrive on any thread.
class Workspace {
 public:
  virtual ~Workspace() = default;
  virtual std::vector<RunningApplication> runningApplications() = 0;
  virtual std::vector<RunningApplication> runningApplicationsIn(
      const std::vector<std::string>& bundlePaths) {
    (void)bundlePaths;
    return runningApplications();
  }
  virtual bool isTerminated(const RunningApplication& application) = 0;
  virtual void terminateApplication(const RunningApplication& application) = 0;  // polite
  virtual void openApplication(const std::string& bundlePath, const LaunchConfiguration& config,
                               std::function<void(LaunchResult)> completion) = 0;
};

enum class LoginItemStatus { notRegistered = 0, enabled = 1, requiresApproval = 2, notFound = 3 };

// The application's own login item. Errors carry the platform's description,
// empty when it has none.
class LoginItems {
 public:
  virtual ~LoginItems() = default;
  virtual bool loginItemsSupported() = 0;
  virtual LoginItemStatus loginItemStatus() = 0;
  virtual std::expected<void, std::string> registerLoginItem() = 0;
  virtual std::expected<void, std::string> unregisterLoginItem() = 0;
};

// An installed tool as one of the desktop's applications: its entry in the
// application menu starts what Kelvoma's switch starts.
struct ToolEntry {
  std::string id;
  std::string name;
  std::string comment;
  std::vector<std::string> command;  // the program, then its arguments
  std::string bundlePath;
  std::string iconFile;  // CFBundleIconFile in Contents/Resources; may be empty
  std::string symbol;    // the catalog's symbol, for a bundle without an icon
  bool operator==(const ToolEntry&) const = default;
};

// A bundle in the trash, and where it came from. The device and inode name
// the very folder that was moved, so that something else put in the trash
// under the same name is never taken for it.
struct TrashedBundle {
  std::string originalPath;
  std::string trashedPath;
  std::string infoPath;  // its ".trashinfo"
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool operator==(const TrashedBundle&) const = default;
};

// The desktop's application menu and its trash. Errors are user-facing Czech
// texts.
class Desktop {
 public:
  virtual ~Desktop() = default;
  // Writes the tool's entry and icon when they change; nothing removes
  // Kelvoma's entry and icon of the tool. A user's own entry of that name is
  // left alone either way.
  virtual std::expected<void, std::string> publishEntry(const std::string& id,
                                                        const std::optional<ToolEntry>& entry) = 0;
  // Moves the bundle into the trash of its own file system by renaming it;
  // never copies or deletes. On failure it is where it was.
  virtual std::expected<TrashedBundle, std::string> moveToTrash(const std::string& bundlePath) = 0;
  // Back to its original place, when nothing stands there now and what lies
  // at trashedPath is still that bundle (its device and inode); anything else
  // is refused and left where it is, its trash record too.
  virtual std::expected<void, std::string> putBack(const TrashedBundle& bundle) = 0;
};

struct OpenPanelOptions {
  std::string title;
  std::string prompt;
  std::string directory;
};

// A panel that shows a text exactly as it is: plain text, never read as
// markup or followed as links; read-only but selectable and scrollable, and
// named for assistive technology by accessibleName.
struct TextPanel {
  std::string title;
  std::string accessibleName;
  std::string text;
  bool operator==(const TextPanel&) const = default;
};

// Alerts, the open panel and text panels. A sheet or text panel returns at
// once; runModalAlert returns when the alert is dismissed. The panel's
// completion gets the chosen path, or nothing when it was cancelled.
class Dialogs {
 public:
  virtual ~Dialogs() = default;
  virtual void showAlertSheet(const std::string& message, const std::string& informative) = 0;
  virtual void runModalAlert(const std::string& message, const std::string& informative) = 0;
  virtual void beginOpenPanelSheet(const OpenPanelOptions& options,
                                   std::function<void(std::optional<std::string>)> completion) = 0;
  virtual void showTextPanel(const TextPanel& panel) = 0;
};

// What the system knows of the network connection's cost. metered() is true
// only when the connection is known or guessed to be metered (NetworkManager's
// "Metered" property); without anyone to ask, it is false. It answers at
// once from what it last learnt: asking the system never blocks the caller.
class NetworkCost {
 public:
  virtual ~NetworkCost() = default;
  virtual bool metered() = 0;
};

// A notice on the desktop (the freedesktop notification service on Linux).
struct NoticeAction {
  std::string key;
  std::string label;  // Czech
};
struct DesktopNotice {
  std::string topic;  // a later notice with the same topic replaces the earlier one
  std::string summary;
  std::string body;
  // Besides the default action (a click on the notice), which opens the window.
  std::vector<NoticeAction> actions;
};

class DesktopNotifications {
 public:
  virtual ~DesktopNotifications() = default;
  // Never blocks; a missing, failing or silent service is ignored. onAction
  // runs on the main thread with the action's key ("default" for the notice
  // itself).
  virtual void notify(const DesktopNotice& notice,
                      std::function<void(const std::string& action)> onAction) = 0;
  // Takes back the notice last posted with that topic while the desktop
  // still shows it; nothing when there is none. Never blocks either.
  virtual void withdraw(const std::string& topic) = 0;
};

// Everything the controller reaches the world through; the parts need not
// be one object.
struct Platform {
  Application& application;
  Screen& screen;
  Settings& settings;
  Notifications& notifications;
  Scheduler& scheduler;
  Files& files;
  Workspace& workspace;
  LoginItems& loginItems;
  Desktop& desktop;
  Dialogs& dialogs;
  DesktopNotifications& desktopNotifications;
  NetworkCost& networkCost;
};

// Every part from one object that implements all of them.
template <typename Whole>
Platform platformOf(Whole& whole) {
  return Platform{
      .application = whole,
      .screen = whole,
      .settings = whole,
      .notifications = whole,
      .scheduler = whole,
      .files = whole,
      .workspace = whole,
      .loginItems = whole,
      .desktop = whole,
      .dialogs = whole,
      .desktopNotifications = whole,
      .networkCost = whole,
  };
}

}  // namespace kelvoma::app
