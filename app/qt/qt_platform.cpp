#include "qt_platform.h"

#include <QApplication>
#include <QDBusConnection>
#include <QGuiApplication>
#include <QTimer>
#include <cstdlib>
#include <filesystem>

static void initialiseSymbols() { Q_INIT_RESOURCE(symbols); }

namespace kelvoma::app::qt {
namespace {

constexpr const char* kApplicationDomain = "cz.tobranix.tools-manager";

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

// On Wayland the compositor raises a window only with a token of the start
// that asked for it; Qt's xdg-activation support takes it from the
// environment when the window next asks to be activated, and consumes it. A
// stale or invalid token is simply refused by the compositor.
void passActivationToken(const std::string& token) {
  if (!token.empty() && QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
    qputenv("XDG_ACTIVATION_TOKEN", QByteArray::fromStdString(token));
  }
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
    : QtNotifications([this](const std::string& token) {
        passActivationToken(token);
        if (delegate() != nullptr) {
          delegate()->applicationShouldHandleReopen();
        }
      }),
      QtApplication(options.arguments, [this] { return static_cast<QWidget*>(window()); }),
      QtScreen([this](Action action, const Sender& sender) { forward(action, sender); },
               options.trayAvailable),
      QtSettings(options.configDirectory),
      QtWorkspace(options.procRoot, static_cast<QtFiles&>(*this), static_cast<QtScheduler&>(*this)),
      QtLoginItems(options.configDirectory + "/autostart/" + kApplicationDomain + ".desktop",
                   options.executable),
      QtDialogs([this] { return static_cast<QWidget*>(window()); }) {
  initialiseSymbols();
}

QtPlatform::~QtPlatform() { removeNotificationObservers(); }

bool QtPlatform::run(ApplicationDelegate& delegate) {
  if (!claimSession()) {
    return false;
  }
  setDelegate(&delegate);
  catchTerminationSignals();
  QTimer::singleShot(0, this, [this] { this->delegate()->applicationDidFinishLaunching(); });
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
  QDBusMessage reopen = QDBusMessage::createSignal(kBusPath, kBusInterface, kReopenSignal);
  const char* token = std::getenv("XDG_ACTIVATION_TOKEN");
  reopen << QString::fromUtf8(token != nullptr ? token : "");
  bus.send(reopen);
  return false;
}

void QtPlatform::forward(Action action, const Sender& sender) {
  if (delegate() != nullptr) {
    delegate()->perform(action, sender);
  }
}

}  // namespace kelvoma::app::qt
