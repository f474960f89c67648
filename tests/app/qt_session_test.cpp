// The Qt platform's parts that speak to the desktop, in this process on a
// virtual display with a private bus that stands in for the system bus too:
// the tray item as a StatusNotifier host reads it, notices as the tests' own
// notification service receives them.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QThread>
#include <iostream>

#include "app_icons.h"
#include "bus_services.h"
#include "desktop_session.h"
#include "qt_desktop_notifications.h"
#include "qt_screen.h"

namespace kelvoma::app::qt {
namespace {

using namespace std::chrono_literals;
using testing::answeringUntil;
using testing::pixelsOf;

QDBusConnection privateBus(const char* name) {
  return QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), name);
}

// A property of the tray item, which this thread serves: read without blocking.
QVariant itemProperty(QDBusConnection& bus, const QString& item, const char* name) {
  QDBusMessage get = QDBusMessage::createMethodCall(
      item, QStringLiteral("/StatusNotifierItem"),
      QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
  get << QStringLiteral("org.kde.StatusNotifierItem") << QString::fromLatin1(name);
  const QDBusPendingCall pending = bus.asyncCall(get, 5000);
  answeringUntil(10s, [&] { return pending.isFinished(); });
  const QList<QVariant> reply = pending.reply().arguments();
  return reply.isEmpty() ? QVariant() : reply.front().value<QDBusVariant>().variant();
}

// A thread that serves the objects moved to it while it lives.
class ServingThread : public QThread {
 public:
  ~ServingThread() override {
    quit();
    wait();
  }
};

// A host would draw a theme name instead of the pixels: the marked icon has none.
TEST(SessionTray, TheIconIsMarkedWhileAttentionIsAskedForAndPlainAfterwards) {
  QIcon::setThemeName(QStringLiteral("hicolor"));
  QIcon::setThemeSearchPaths(
      {QStringLiteral(KELVOMA_ICONS_DIR), QStringLiteral("/usr/share/icons")});
  // Qt asks the watcher synchronously whether a host runs: it answers from a thread.
  testing::Watcher watcher;
  ServingThread hostThread;
  watcher.moveToThread(&hostThread);
  hostThread.start();
  QDBusConnection host = privateBus("kelvoma-tray-host");
  ASSERT_TRUE(
      host.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher,
                          QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties) &&
      host.registerService(QStringLiteral("org.kde.StatusNotifierWatcher")));
  QtScreen screen([](Action, const Sender&) {}, [] { return true; });
  StatusItemModel model;
  model.toolTip = "Kelvoma";
  screen.createStatusItem(model);
  ASSERT_TRUE(
      answeringUntil(20s, [&] { return !watcher.registeredStatusNotifierItems().isEmpty(); }));
  const QString item = watcher.registeredStatusNotifierItems().front();
  struct Step {
    const char* name;
    bool attention;
    const char* iconName;
  };
  const Step steps[] = {
      {.name = "nothing waits", .attention = false, .iconName = kTrayIconName},
      {.name = "an update waits", .attention = true, .iconName = ""},
      {.name = "seen", .attention = false, .iconName = kTrayIconName},
  };
  QByteArray plain;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    screen.setStatusItemState("Kelvoma", step.attention);
    const QByteArray pixels = pixelsOf(itemProperty(host, item, "IconPixmap"));
    ASSERT_FALSE(pixels.isEmpty());
    plain = plain.isEmpty() ? pixels : plain;
    EXPECT_EQ(pixels != plain, step.attention);
    EXPECT_EQ(itemProperty(host, item, "IconName").toString(), QString::fromLatin1(step.iconName));
  }
  host.unregisterService(QStringLiteral("org.kde.StatusNotifierWatcher"));
  QDBusConnection::disconnectFromBus(QStringLiteral("kelvoma-tray-host"));
}

// A notice taken back is closed however late its id comes, and only the
// latest of a topic's notices stays; the body is escaped unless the service
// has said that it reads no markup there.
TEST(SessionNotices, AreClosedWhenWithdrawnAndEscapedWhereMarkupIsRead) {
  testing::NoticeService service;
  QDBusConnection bus = privateBus("kelvoma-notice-service");
  ASSERT_TRUE(bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &service,
                                 QDBusConnection::ExportAllSlots) &&
              bus.registerService(QStringLiteral("org.freedesktop.Notifications")));
  const QString escaped = QStringLiteral("&lt;b&gt;&amp;");
  struct Case {
    const char* name;
    bool markup;           // the service reads the body as markup
    bool atOnce;           // it answers Notify at once
    int posts;             // notices posted before the withdrawal
    bool restart = false;  // the service starts again before it
    std::vector<uint> closed = {};
  };
  const Case cases[] = {
      {.name = "once shown", .markup = true, .atOnce = true, .posts = 1, .closed = {101}},
      {.name = "before its reply", .markup = false, .atOnce = false, .posts = 1, .closed = {101}},
      {.name = "posted twice", .markup = true, .atOnce = true, .posts = 2, .closed = {101, 102}},
      {.name = "service restarted", .markup = true, .atOnce = true, .posts = 1, .restart = true},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.name);
    service.calls.clear();
    service.closed.clear();
    service.bodyMarkup = each.markup;
    service.answers = each.atOnce;
    QtDesktopNotifications notices;
    const DesktopNotice notice{.topic = "t", .summary = "A & <b>", .body = "<b>&", .actions = {}};
    std::vector<std::string> actions;
    for (int i = 0; i < each.posts; ++i) {
      notices.notify(notice, [&](const std::string& action) { actions.push_back(action); });
    }
    const auto posted = static_cast<std::size_t>(each.posts);
    ASSERT_TRUE(answeringUntil(10s, [&] { return service.calls.size() == posted; }));
    if (each.atOnce) {  // a click reaches the notice once its id is known
      bus.send(QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/Notifications"),
                                          QStringLiteral("org.freedesktop.Notifications"),
                                          QStringLiteral("ActionInvoked"))
               << static_cast<uint>(100 + posted) << QStringLiteral("default"));
      ASSERT_TRUE(answeringUntil(10s, [&] { return !actions.empty(); }));
    }
    if (each.restart) {
      bus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
      bus.registerService(QStringLiteral("org.freedesktop.Notifications"));
      answeringUntil(1s, [] { return false; });  // the client hears of it meanwhile
    }
    notices.withdraw("t");
    service.answerHeld();
    answeringUntil(10s, [&] { return service.closed.size() >= each.closed.size(); });
    notices.notify(notice, nullptr);  // reaches the service after any CloseNotification
    ASSERT_TRUE(answeringUntil(10s, [&] { return service.calls.size() == posted + 1; }));
    EXPECT_EQ(service.closed, each.closed);
    EXPECT_EQ(service.calls.back().replaces, 0u);
    EXPECT_EQ(service.calls.front().body, escaped);  // the service's answer not yet in
    EXPECT_EQ(service.calls.back().body, each.markup ? escaped : QStringLiteral("<b>&"));
    EXPECT_EQ(service.calls.back().summary, "A & <b>");
  }
  bus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
  QDBusConnection::disconnectFromBus(QStringLiteral("kelvoma-notice-service"));
}

}  // namespace
}  // namespace kelvoma::app::qt

// The display and the bus come before the application, which connects to them
// as it starts.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  kelvoma::app::testing::DesktopSession desktop;
  if (!desktop.ready()) {
    std::cerr << desktop.failure() << "\n";
    return 1;
  }
  setenv("DBUS_SYSTEM_BUS_ADDRESS", desktop.busAddress().c_str(), 1);
  QApplication application(argc, argv);
  Q_INIT_RESOURCE(symbols);  // the platform's resources, which QtPlatform would load
  return RUN_ALL_TESTS();
}
