// The real executable (the fixture build) on a virtual display with a private
// session bus on which a minimal StatusNotifier watcher runs: the item that
// Kelvoma registers there names the symbolic icon of the icon theme (which
// the test points at the source tree's icons), so that a panel draws it in its
// own colour.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QObject>
#include <QStringList>
#include <chrono>
#include <functional>
#include <string>

#include "desktop_session.h"
#include "support/temp_dir.h"

namespace kelvoma::app::testing {
namespace {

using namespace std::chrono_literals;

constexpr auto kStepLimit = 45s;  // sanitizer builds start slowly on a shared machine
constexpr int kCallTimeoutMs = 5000;

// Just enough of org.kde.StatusNotifierWatcher for Qt's tray to register an
// item with it: a host is said to be present, and items are only listed.
class Watcher : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
  Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isStatusNotifierHostRegistered)
  Q_PROPERTY(int ProtocolVersion READ protocolVersion)
  Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredStatusNotifierItems)

 public:
  bool isStatusNotifierHostRegistered() const { return true; }
  int protocolVersion() const { return 0; }
  QStringList registeredStatusNotifierItems() const { return items_; }

 public slots:
  // The argument is the item's bus name, or an object path of the caller.
  void RegisterStatusNotifierItem(const QString& service) {
    items_ << (service.startsWith(u'/') ? message().service() : service);
  }
  void RegisterStatusNotifierHost(const QString&) {}

 private:
  QStringList items_;
};

// Waits while answering the bus: the watcher lives on this thread.
bool answeringUntil(std::chrono::milliseconds limit, const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (condition()) {
      return true;
    }
  }
  return condition();
}

QVariant itemProperty(QDBusConnection& bus, const QString& service, const QString& name) {
  QDBusMessage get = QDBusMessage::createMethodCall(
      service, QStringLiteral("/StatusNotifierItem"),
      QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
  get << QStringLiteral("org.kde.StatusNotifierItem") << name;
  const QDBusMessage reply = bus.call(get, QDBus::Block, kCallTimeoutMs);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
    return {};
  }
  return reply.arguments().front().value<QDBusVariant>().variant();
}

bool windowShown(DesktopSession& desktop) {
  const auto tree = desktop.application("Kelvoma");
  return tree && tree->find([](const AccessibleNode& node) {
    return node.name == "Kelvoma · Nástroje";
  }) != nullptr;
}

// KELVOMA_TRAY_EXE and KELVOMA_TRAY_DATA_DIRS name an installed program instead.
std::string fromEnvironment(const char* name, const char* otherwise) {
  const char* value = getenv(name);
  return value != nullptr ? value : otherwise;
}

// With the host running first, --background is honoured; with none at start
// the window stands in, and the item follows once a host appears.
TEST(StatusNotifierItem, NamesTheSymbolicIconWhenTheHostRunsOrAppearsLater) {
  struct Case {
    const char* name;
    bool hostFirst;
    bool windowShown;
  };
  const Case cases[] = {
      {.name = "host running at start", .hostFirst = true, .windowShown = false},
      {.name = "host started later", .hostFirst = false, .windowShown = true},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.name);
    kelvoma::testing::TempDir home;
    setenv("HOME", home.path().c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home.path() + "/.config").c_str(), 1);
    unsetenv("XDG_RUNTIME_DIR");
    unsetenv("XDG_CURRENT_DESKTOP");
    // Where an installation under /usr/local would be found.
    setenv("XDG_DATA_DIRS",
           fromEnvironment("KELVOMA_TRAY_DATA_DIRS", KELVOMA_ICON_DATA_DIR ":/usr/share").c_str(),
           1);
    // No check at start: nothing else goes on.
    home.write(".config/cz.tobranix.tools-manager.ini", "[General]\nautomaticChecks=false\n");

    DesktopSession desktop;
    ASSERT_TRUE(desktop.ready()) << desktop.failure();
    QDBusConnection bus = QDBusConnection::connectToBus(
        QString::fromStdString(desktop.busAddress()), QStringLiteral("kelvoma-sni-watcher"));
    ASSERT_TRUE(bus.isConnected());
    Watcher watcher;
    const auto startHost = [&] {
      return bus.registerObject(
                 QStringLiteral("/StatusNotifierWatcher"), &watcher,
                 QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties) &&
             bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"));
    };
    if (each.hostFirst) {
      ASSERT_TRUE(startHost());
    }

    const std::string log = home.file("app.log");
    auto app = Process::start(
        {fromEnvironment("KELVOMA_TRAY_EXE", KELVOMA_FIXTURE_EXE), "--background"}, log);
    ASSERT_TRUE(app.has_value());
    const auto appOutput = [&] {
      return "\napplication output:\n" + kelvoma::testing::read_file(log);
    };
    if (each.windowShown) {
      // Shown windows are on the accessibility bus.
      EXPECT_TRUE(answeringUntil(kStepLimit, [&] { return windowShown(desktop); })) << appOutput();
    }
    if (!each.hostFirst) {
      ASSERT_TRUE(startHost());
    }

    ASSERT_TRUE(answeringUntil(kStepLimit,
                               [&] { return !watcher.registeredStatusNotifierItems().isEmpty(); }))
        << "no item was registered" << appOutput();
    const QString item = watcher.registeredStatusNotifierItems().front();
    EXPECT_EQ(itemProperty(bus, item, QStringLiteral("IconName")).toString(),
              QStringLiteral("cz.tobranix.Kelvoma-symbolic"))
        << appOutput();
    if (!each.windowShown) {
      answeringUntil(1s, [] { return false; });  // a window shown at start would be there by now
      EXPECT_FALSE(windowShown(desktop)) << appOutput();
    }

    EXPECT_EQ(app->stop(SIGTERM, 20s), 0) << appOutput();
    QDBusConnection::disconnectFromBus(QStringLiteral("kelvoma-sni-watcher"));
  }
}

}  // namespace
}  // namespace kelvoma::app::testing

int main(int argc, char** argv) {
  // The watcher answers through Qt's D-Bus module, which wants an application
  // object; no display is needed for it.
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

#include "status_notifier_test.moc"
