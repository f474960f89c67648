// The Qt 6 implementation of the platform: tray, window, settings stores,
// session-bus signals, timers and threads; /proc, property lists and the
// autostart entry come from app/system.
#pragma once

#include <QDBusMessage>
#include <QObject>
#include <QThreadPool>
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform.h"
#include "system/autostart.h"
#include "system/process_table.h"
#include "tray_host.h"

class QSettings;
class QTimer;

namespace kelvoma::app::qt {

class ManagerWindow;
class StatusTray;

struct QtPlatformOptions {
  std::vector<std::string> arguments;
  std::string configDirectory;  // where the settings stores and autostart/ live
  std::string executable;       // the program a login item must start
  std::string procRoot = "/proc";
  std::function<bool()> trayAvailable = statusItemHostAvailable;
};

// The defaults: the process's arguments, $XDG_CONFIG_HOME (or ~/.config) and
// this executable.
QtPlatformOptions defaultOptions(int argc, char** argv);

inline constexpr const char* kBusInterface = "cz.tobranix.Kelvoma";
inline constexpr const char* kBusPath = "/cz/tobranix/Kelvoma";
// The well-known name the running instance holds, and the signal a second
// start sends it instead of running twice.
inline constexpr const char* kBusName = "cz.tobranix.Kelvoma";
inline constexpr const char* kReopenSignal = "KelvomaReopen";

// One object that implements every part of the platform; platformOf(*this)
// hands them to the controller.
class QtPlatform final : public QObject,
                         public Application,
                         public Screen,
                         public Settings,
                         public Notifications,
                         public Scheduler,
                         public Files,
                         public Workspace,
                         public LoginItems,
                         public Dialogs {
  Q_OBJECT

 public:
  explicit QtPlatform(QtPlatformOptions options);
  ~QtPlatform() override;

  // Lets the delegate start once the event loop runs, then runs the loop.
  // When another instance already runs in this session, asks it to show its
  // window instead and returns at once with false.
  bool run(ApplicationDelegate& delegate);
  void setDelegate(ApplicationDelegate* delegate) { delegate_ = delegate; }
  // Whether a worker still runs a core call.
  bool hasRunningWork() const { return runningWork_.load() > 0; }
  // Waits until no worker runs, then delivers what they handed to the main thread.
  void waitForWorkers();

  ManagerWindow* window() const { return window_.get(); }
  StatusTray* tray() const { return tray_.get(); }
  std::string settingsPath(std::string_view domain) const;

  // Application.
  std::vector<std::string> arguments() override;
  void activateIgnoringOtherApps() override;
  void terminate() override;
  SystemVersion operatingSystemVersion() override;
  // Screen.
  void createStatusItem(const StatusItemModel& model) override;
  bool statusItemAvailable() override;
  void setStatusMenu(const Menu& menu) override;
  void createWindow(const WindowModel& model) override;
  void showWindow() override;
  void setText(ControlId control, const std::string& text) override;
  void setToolTip(ControlId control, const std::optional<std::string>& text) override;
  void setTextColour(ControlId control, Colour colour) override;
  void setEnabled(ControlId control, bool enabled) override;
  void setState(ControlId control, bool on) override;
  void scrollTo(ControlId scrollView, double y) override;
  // Settings.
  std::optional<SettingValue> readSetting(std::string_view domain, std::string_view key) override;
  void writeSetting(std::string_view domain, std::string_view key,
                    const SettingValue& value) override;
  // Notifications.
  void observeNotification(const std::string& name, std::function<void()> handler) override;
  void removeNotificationObservers() override;
  void postNotification(const std::string& name, const std::string& object) override;
  // Scheduler.
  TimerId scheduleRepeatingTimer(double seconds, TimerModes modes,
                                 std::function<void()> tick) override;
  void invalidateTimer(TimerId timer) override;
  void runOnMainAfter(double seconds, std::function<void()> work) override;
  void runOnMain(std::function<void()> work) override;
  void runOnMainAndWait(std::function<void()> work) override;
  void runOnWorker(std::function<void()> work) override;
  double uptime() override;
  void sleepFor(double seconds) override;
  // Files.
  std::string homeDirectory() override;
  std::optional<Document> readPropertyList(const std::string& path) override;
  std::string resolveSymlinks(const std::string& path) override;
  bool isWritable(const std::string& path) override;
  // Workspace.
  std::vector<RunningApplication> runningApplications() override;
  std::vector<RunningApplication> runningApplicationsIn(
      const std::vector<std::string>& bundlePaths) override {
    return processes_.scan(bundlePaths, uptime());
  }
  bool isTerminated(const RunningApplication& application) override;
  void terminateApplication(const RunningApplication& application) override;
  void openApplication(const std::string& bundlePath, const LaunchConfiguration& config,
                       std::function<void(LaunchResult)> completion) override;
  // LoginItems.
  bool loginItemsSupported() override;
  LoginItemStatus loginItemStatus() override;
  std::expected<void, std::string> registerLoginItem() override;
  std::expected<void, std::string> unregisterLoginItem() override;
  // Dialogs.
  void showAlertSheet(const std::string& message, const std::string& informative) override;
  void runModalAlert(const std::string& message, const std::string& informative) override;
  void beginOpenPanelSheet(const OpenPanelOptions& options,
                           std::function<void(std::optional<std::string>)> completion) override;

 private slots:
  void onBusSignal(const QDBusMessage& message);

 private:
  void forward(Action action, const Sender& sender);
  bool claimSession();
  void catchTerminationSignals();
  void onTerminationSignal();
  QSettings& store(std::string_view domain);
  LaunchResult launch(const std::string& bundlePath, const LaunchConfiguration& config);

  QtPlatformOptions options_;
  ApplicationDelegate* delegate_ = nullptr;
  std::unique_ptr<ManagerWindow> window_;
  std::unique_ptr<StatusTray> tray_;
  std::map<std::string, std::unique_ptr<QSettings>, std::less<>> stores_;
  std::map<std::string, std::function<void()>> observers_;
  std::map<TimerId, std::unique_ptr<QTimer>> timers_;
  TimerId lastTimer_ = 0;
  system::Autostart autostart_;
  system::ProcessTable processes_;
  QThreadPool* workers_;  // never waited for at exit: a running check must not hold it up
  std::atomic<int> runningWork_{0};
  int signalPipe_[2] = {-1, -1};
};

}  // namespace kelvoma::app::qt
