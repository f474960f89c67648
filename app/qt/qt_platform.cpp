#include "qt_platform.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QDBusConnection>
#include <QFileDialog>
#include <QMessageBox>
#include <QProcess>
#include <QSettings>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "manager_window.h"
#include "status_tray.h"
#include "system/process_table.h"
#include "system/property_list.h"
#include "system/system_version.h"

static void initialiseSymbols() { Q_INIT_RESOURCE(symbols); }

namespace kelvoma::app::qt {
namespace {

int terminationPipeWriter = -1;  // the only state a signal handler may touch

void onSignal(int) {
  const char byte = 1;
  (void)!write(terminationPipeWriter, &byte, 1);
}

constexpr const char* kApplicationDomain = "cz.tobranix.tools-manager";

QString qs(const std::string& text) { return QString::fromStdString(text); }

std::string currentExecutable() {
  std::error_code error;
  const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : path.string();
}

std::string configHome() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
    return xdg;
  }
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.config";
}

}  // namespace

QtPlatformOptions defaultOptions(int argc, char** argv) {
  QtPlatformOptions options;
  for (int i = 0; i < argc; ++i) {
    options.arguments.emplace_back(argv[i]);
  }
  options.configDirectory = configHome();
  options.executable = currentExecutable();
  return options;
}

QtPlatform::QtPlatform(QtPlatformOptions options)
    : options_(std::move(options)),
      autostart_(options_.configDirectory + "/autostart/" + kApplicationDomain + ".desktop",
                 options_.executable),
      processes_(options_.procRoot),
      workers_(new QThreadPool) {
  initialiseSymbols();
  workers_->setMaxThreadCount(8);
}

QtPlatform::~QtPlatform() {
  removeNotificationObservers();
  if (signalPipe_[0] >= 0) {
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    terminationPipeWriter = -1;
    close(signalPipe_[0]);
    close(signalPipe_[1]);
  }
  // Workers still inside a core call keep the pool alive; the process ends
  // without waiting for them.
  if (!hasRunningWork()) {
    delete workers_;
  }
}

bool QtPlatform::run(ApplicationDelegate& delegate) {
  if (!claimSession()) {
    return false;
  }
  delegate_ = &delegate;
  catchTerminationSignals();
  QTimer::singleShot(0, this, [this] { delegate_->applicationDidFinishLaunching(); });
  QApplication::exec();
  return true;
}

// One instance per session: a second start from the desktop's launcher is a
// request to reopen the first one's window. Without a session bus each start
// runs on its own.
bool QtPlatform::claimSession() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || bus.registerService(kBusName)) {
    return true;
  }
  bus.send(QDBusMessage::createSignal(kBusPath, kBusInterface, kReopenSignal));
  return false;
}

// SIGTERM and SIGINT are the system asking to quit: they go the way of "quit"
// from the menu, and so are refused while an installation runs.
void QtPlatform::catchTerminationSignals() {
  if (pipe2(signalPipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    return;
  }
  terminationPipeWriter = signalPipe_[1];
  auto* notifier = new QSocketNotifier(signalPipe_[0], QSocketNotifier::Read, this);
  connect(notifier, &QSocketNotifier::activated, this, [this] { onTerminationSignal(); });
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

void QtPlatform::onTerminationSignal() {
  char bytes[16];
  while (read(signalPipe_[0], bytes, sizeof bytes) > 0) {
  }
  terminate();
}

void QtPlatform::forward(Action action, const Sender& sender) {
  if (delegate_ != nullptr) {
    delegate_->perform(action, sender);
  }
}

// ---- Application ----------------------------------------------------------

std::vector<std::string> QtPlatform::arguments() { return options_.arguments; }

void QtPlatform::activateIgnoringOtherApps() {
  if (window_) {
    window_->raise();
    window_->activateWindow();
  }
}

void QtPlatform::terminate() {
  if (delegate_ != nullptr && !delegate_->applicationShouldTerminate()) {
    return;
  }
  if (delegate_ != nullptr) {
    delegate_->applicationWillTerminate();
  }
  QCoreApplication::quit();
}

SystemVersion QtPlatform::operatingSystemVersion() { return system::runningSystemVersion(); }

// ---- Status item and window -----------------------------------------------

void QtPlatform::createStatusItem(const StatusItemModel& model) {
  tray_ = std::make_unique<StatusTray>(
      model, [this](Action action, const Sender& sender) { forward(action, sender); },
      options_.trayAvailable);
}

bool QtPlatform::statusItemAvailable() { return tray_ && tray_->shown(); }

void QtPlatform::setStatusMenu(const Menu& menu) {
  if (tray_) {
    tray_->setMenu(menu);
  }
}

void QtPlatform::createWindow(const WindowModel& model) {
  window_ = std::make_unique<ManagerWindow>(
      model, [this](Action action, const Sender& sender) { forward(action, sender); });
  window_->centreOnScreen();
}

void QtPlatform::showWindow() {
  if (window_) {
    window_->show();
    window_->raise();
    window_->activateWindow();
  }
}

void QtPlatform::setText(ControlId control, const std::string& text) {
  if (window_) {
    window_->setText(control, qs(text));
  }
}

void QtPlatform::setToolTip(ControlId control, const std::optional<std::string>& text) {
  if (window_) {
    window_->setToolTip(control, text ? std::optional<QString>(qs(*text)) : std::nullopt);
  }
}

void QtPlatform::setTextColour(ControlId control, Colour colour) {
  if (window_) {
    window_->setTextColour(control, colour);
  }
}

void QtPlatform::setEnabled(ControlId control, bool enabled) {
  if (window_) {
    window_->setEnabled(control, enabled);
  }
}

void QtPlatform::setState(ControlId control, bool on) {
  if (window_) {
    window_->setState(control, on);
  }
}

void QtPlatform::scrollTo(ControlId scrollView, double y) {
  if (window_) {
    window_->scrollTo(scrollView, y);
  }
}

// ---- Settings ---------------------------------------------------------------

std::string QtPlatform::settingsPath(std::string_view domain) const {
  return options_.configDirectory + "/" + std::string(domain) + ".ini";
}

QSettings& QtPlatform::store(std::string_view domain) {
  auto found = stores_.find(domain);
  if (found == stores_.end()) {
    auto made = std::make_unique<QSettings>(qs(settingsPath(domain)), QSettings::IniFormat);
    found = stores_.emplace(std::string(domain), std::move(made)).first;
  }
  return *found->second;
}

std::optional<SettingValue> QtPlatform::readSetting(std::string_view domain, std::string_view key) {
  const QVariant value = store(domain).value(QString::fromUtf8(key.data(), qsizetype(key.size())));
  if (!value.isValid()) {
    return std::nullopt;
  }
  switch (value.typeId()) {
    case QMetaType::Bool:
      return value.toBool();
    case QMetaType::Double:
    case QMetaType::Int:
    case QMetaType::LongLong:
      return value.toDouble();
    default:
      // The INI file keeps every kind as text; the readers interpret it.
      return value.toString().toStdString();
  }
}

void QtPlatform::writeSetting(std::string_view domain, std::string_view key,
                              const SettingValue& value) {
  QSettings& settings = store(domain);
  const QString name = QString::fromUtf8(key.data(), qsizetype(key.size()));
  std::visit(
      [&](const auto& v) {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, std::string>) {
          settings.setValue(name, qs(v));
        } else {
          settings.setValue(name, v);
        }
      },
      value);
  settings.sync();  // written through, so that other processes see it at once
}

// ---- Notifications on the session bus ---------------------------------------

void QtPlatform::observeNotification(const std::string& name, std::function<void()> handler) {
  const bool first = observers_.empty();
  observers_[name] = std::move(handler);
  QDBusConnection bus = QDBusConnection::sessionBus();
  // Without a session bus the application runs on; nobody can reach it then.
  if (bus.isConnected() && first) {
    bus.connect(QString(), QString(), kBusInterface, QString(), this,
                SLOT(onBusSignal(QDBusMessage)));
  }
}

void QtPlatform::removeNotificationObservers() {
  if (observers_.empty()) {
    return;
  }
  observers_.clear();
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (bus.isConnected()) {
    bus.disconnect(QString(), QString(), kBusInterface, QString(), this,
                   SLOT(onBusSignal(QDBusMessage)));
  }
}

void QtPlatform::onBusSignal(const QDBusMessage& message) {
  if (message.type() != QDBusMessage::SignalMessage) {
    return;
  }
  if (message.member() == QLatin1String(kReopenSignal)) {
    if (delegate_ != nullptr) {
      delegate_->applicationShouldHandleReopen();
    }
    return;
  }
  const auto found = observers_.find(message.member().toStdString());
  if (found != observers_.end()) {
    const auto handler = found->second;  // the handler may change the observers
    handler();
  }
}

void QtPlatform::postNotification(const std::string& name, const std::string& object) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    return;
  }
  QDBusMessage signal = QDBusMessage::createSignal(kBusPath, kBusInterface, qs(name));
  signal << qs(object);
  bus.send(signal);
}

// ---- Time and threads ----------------------------------------------------

TimerId QtPlatform::scheduleRepeatingTimer(double seconds, TimerModes, std::function<void()> tick) {
  // Qt timers fire in every loop, a menu's included, so both modes are one here.
  auto timer = std::make_unique<QTimer>();
  timer->setTimerType(Qt::PreciseTimer);
  timer->setInterval(std::chrono::milliseconds(std::llround(seconds * 1000)));
  connect(timer.get(), &QTimer::timeout, this, std::move(tick));
  timer->start();
  const TimerId id = ++lastTimer_;
  timers_[id] = std::move(timer);
  return id;
}

void QtPlatform::invalidateTimer(TimerId timer) { timers_.erase(timer); }

void QtPlatform::runOnMainAfter(double seconds, std::function<void()> work) {
  QTimer::singleShot(std::chrono::milliseconds(std::llround(seconds * 1000)), this,
                     std::move(work));
}

void QtPlatform::runOnMain(std::function<void()> work) {
  QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}

void QtPlatform::runOnMainAndWait(std::function<void()> work) {
  if (QThread::currentThread() == thread()) {
    work();
    return;
  }
  QMetaObject::invokeMethod(this, std::move(work), Qt::BlockingQueuedConnection);
}

void QtPlatform::runOnWorker(std::function<void()> work) {
  ++runningWork_;
  workers_->start([this, work = std::move(work)] {
    work();
    --runningWork_;
  });
}

void QtPlatform::waitForWorkers() {
  workers_->waitForDone();
  QCoreApplication::sendPostedEvents(this);
}

double QtPlatform::uptime() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void QtPlatform::sleepFor(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// ---- Files -----------------------------------------------------------------

std::string QtPlatform::homeDirectory() {
  const char* home = std::getenv("HOME");
  return home != nullptr && home[0] != '\0' ? home : QDir::homePath().toStdString();
}

std::optional<Document> QtPlatform::readPropertyList(const std::string& path) {
  return system::readPropertyList(path);
}

std::string QtPlatform::resolveSymlinks(const std::string& path) {
  std::error_code error;
  const auto resolved = std::filesystem::weakly_canonical(path, error);
  return error ? path : resolved.string();
}

bool QtPlatform::isWritable(const std::string& path) { return access(path.c_str(), W_OK) == 0; }

// ---- Workspace -----------------------------------------------------------------

std::vector<RunningApplication> QtPlatform::runningApplications() {
  return processes_.scan(uptime());
}

bool QtPlatform::isTerminated(const RunningApplication& application) {
  return system::isTerminated(application, options_.procRoot);
}

void QtPlatform::terminateApplication(const RunningApplication& application) {
  system::terminate(application, options_.procRoot);
}

LaunchResult QtPlatform::launch(const std::string& bundlePath, const LaunchConfiguration& config) {
  // Like the workspace, a running copy is not started a second time.
  const std::string resolved = resolveSymlinks(bundlePath);
  for (const RunningApplication& each : runningApplications()) {
    if (resolveSymlinks(each.bundlePath) == resolved) {
      return {.error = std::nullopt, .launched = true};
    }
  }
  const auto info = system::readPropertyList(bundlePath + "/Contents/Info.plist");
  const auto name = info ? textOf(*info, "CFBundleExecutable") : std::nullopt;
  if (!name || name->empty() || name->find('/') != std::string::npos) {
    return {.error = "Aplikace neuvádí svůj spustitelný soubor.", .launched = false};
  }
  const std::string executable = bundlePath + "/Contents/MacOS/" + *name;
  if (access(executable.c_str(), X_OK) != 0) {
    return {.error = "Spustitelný soubor aplikace chybí nebo jej nelze spustit.",
            .launched = false};
  }
  QProcess process;
  process.setProgram(qs(executable));
  QStringList arguments;
  for (const std::string& argument : config.arguments) {
    arguments << qs(argument);
  }
  process.setArguments(arguments);
  process.setWorkingDirectory(qs(homeDirectory()));
  // A detached tool must not hold on to our output: whoever reads it (a
  // terminal, a pipe) would otherwise wait on the tool too.
  process.setStandardInputFile(QProcess::nullDevice());
  process.setStandardOutputFile(QProcess::nullDevice());
  process.setStandardErrorFile(QProcess::nullDevice());
  if (!process.startDetached()) {
    return {.error = "Aplikaci se nepodařilo spustit.", .launched = false};
  }
  // Activation is the tool's own business on this desktop: it raises its window.
  return {.error = std::nullopt, .launched = true};
}

void QtPlatform::openApplication(const std::string& bundlePath, const LaunchConfiguration& config,
                                 std::function<void(LaunchResult)> completion) {
  LaunchResult result = launch(bundlePath, config);
  runOnMain(
      [completion = std::move(completion), result = std::move(result)] { completion(result); });
}

// ---- Login item -------------------------------------------------------------

bool QtPlatform::loginItemsSupported() { return !options_.executable.empty(); }

LoginItemStatus QtPlatform::loginItemStatus() { return autostart_.status(); }

std::expected<void, std::string> QtPlatform::registerLoginItem() { return autostart_.enable(); }

std::expected<void, std::string> QtPlatform::unregisterLoginItem() { return autostart_.disable(); }

// ---- Alerts and the open panel ----------------------------------------------------

void QtPlatform::showAlertSheet(const std::string& message, const std::string& informative) {
  auto* alert = new QMessageBox(QMessageBox::Warning, QStringLiteral("Kelvoma"), qs(message),
                                QMessageBox::Ok, window_.get());
  alert->setInformativeText(qs(informative));
  alert->setWindowModality(Qt::WindowModal);
  alert->setAttribute(Qt::WA_DeleteOnClose);
  alert->open();
}

void QtPlatform::runModalAlert(const std::string& message, const std::string& informative) {
  QMessageBox alert(QMessageBox::Warning, QStringLiteral("Kelvoma"), qs(message), QMessageBox::Ok,
                    window_.get());
  alert.setInformativeText(qs(informative));
  alert.exec();
}

void QtPlatform::beginOpenPanelSheet(const OpenPanelOptions& options,
                                     std::function<void(std::optional<std::string>)> completion) {
  auto* panel = new QFileDialog(window_.get(), qs(options.title), qs(options.directory));
  panel->setFileMode(QFileDialog::Directory);  // a bundle is a folder chosen as one item
  panel->setOption(QFileDialog::ShowDirsOnly, true);
  panel->setOption(QFileDialog::DontUseNativeDialog, true);
  panel->setLabelText(QFileDialog::Accept, qs(options.prompt));
  panel->setWindowModality(Qt::WindowModal);
  panel->setAttribute(Qt::WA_DeleteOnClose);
  auto shared =
      std::make_shared<std::function<void(std::optional<std::string>)>>(std::move(completion));
  connect(panel, &QFileDialog::finished, this, [panel, shared](int result) {
    const QStringList chosen = panel->selectedFiles();
    if (result == QDialog::Accepted && chosen.size() == 1) {
      (*shared)(chosen.front().toStdString());
    } else {
      (*shared)(std::nullopt);
    }
  });
  panel->open();
}

}  // namespace kelvoma::app::qt
