#include "qt_platform.h"

#include <QApplication>
#include <QDBusConnection>
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

std::string dataHome() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
    return xdg;
  }
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.local/share";
}

}  // namespace

QtPlatformOptions defaultOptions(int argc, char** argv) {
  QtPlatformOptions options;
  for (int i = 0; i < argc; ++i) {
    options.arguments.emplace_back(argv[i]);
  }
  options.configDirectory = configHome();
  options.dataDirectory = dataHome();
  options.executable = currentExecutable();
  return options;
}

QtPlatform::QtPlatform(QtPlatformOptions options)
    : QtApplication(options.arguments, [this] { return static_cast<QWidget*>(window()); }),
      QtScreen([this](Action action, const Sender& sender) { forward(action, sender); },
               options.trayAvailable),
      QtSettings(options.configDirectory),
      QtWorkspace(options.procRoot, static_cast<QtFiles&>(*this), static_cast<QtScheduler&>(*this)),
      QtLoginItems(options.configDirectory + "/autostart/" + kApplicationDomain + ".desktop",
                   options.executable),
      QtDesktop(options.dataDirectory),
      QtDialogs([this] { return static_cast<QWidget*>(window()); }),
      // The second start's token is not handed on: Qt 6.4 takes one only
      // from its own environment, which is never changed while workers may
      // start programs with it.
      reopenChannel_([this](const std::string& /*token*/) {
        if (delegate() != nullptr) {
          delegate()->applicationShouldHandleReopen();
        }
      }) {
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
  if (!bus.isConnected() || reopenChannel_.claim(bus)) {
    return true;
  }
  askRunningInstance(bus);  // unanswered (a stale holder of the name): nothing more to do
  return false;
}

void QtPlatform::forward(Action action, const Sender& sender) {
  if (delegate() != nullptr) {
    delegate()->perform(action, sender);
  }
}

}  // namespace kelvoma::app::qt
