// The real executable (the fixture build) on a virtual display with a private
// session bus on which a minimal StatusNotifier watcher runs: the item that
// Kelvoma registers there names the symbolic icon of the icon theme (which
// the test points at the source tree's icons), so that a panel draws it in its
// own colour.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QStringList>
#include <QVariantMap>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bus_services.h"
#include "desktop_session.h"
#include "support/fixture_bundle.h"
#include "support/signing.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

namespace kelvoma::app::testing {
namespace {

using namespace std::chrono_literals;

constexpr auto kStepLimit = 45s;  // sanitizer builds start slowly on a shared machine
constexpr int kCallTimeoutMs = 5000;

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

// The ids and labels of a dbusmenu layout, depth first.
void collectMenu(const QDBusArgument& node, std::vector<std::pair<int, QString>>& into) {
  int id = 0;
  QVariantMap properties;
  node.beginStructure();
  node >> id >> properties;
  node.beginArray();
  while (!node.atEnd()) {
    QDBusVariant child;
    node >> child;
    collectMenu(qvariant_cast<QDBusArgument>(child.variant()), into);
  }
  node.endArray();
  node.endStructure();
  into.emplace_back(id, properties.value(QStringLiteral("label")).toString());
}

// Clicks the item's menu entry with that label, as a panel does.
bool clickMenu(QDBusConnection& bus, const QString& item, const QString& label) {
  const QString path =
      qvariant_cast<QDBusObjectPath>(itemProperty(bus, item, QStringLiteral("Menu"))).path();
  const QString menu = QStringLiteral("com.canonical.dbusmenu");
  QDBusMessage get = QDBusMessage::createMethodCall(item, path, menu, QStringLiteral("GetLayout"));
  get << 0 << -1 << QStringList();
  const QDBusMessage layout = bus.call(get, QDBus::Block, kCallTimeoutMs);
  if (layout.type() != QDBusMessage::ReplyMessage || layout.arguments().size() < 2) {
    return false;
  }
  std::vector<std::pair<int, QString>> entries;
  collectMenu(qvariant_cast<QDBusArgument>(layout.arguments()[1]), entries);
  for (const auto& [id, text] : entries) {
    if (text == label) {
      QDBusMessage event =
          QDBusMessage::createMethodCall(item, path, menu, QStringLiteral("Event"));
      event << id << QStringLiteral("clicked") << QVariant::fromValue(QDBusVariant(0)) << 0u;
      return bus.call(event, QDBus::Block, kCallTimeoutMs).type() == QDBusMessage::ReplyMessage;
    }
  }
  return false;
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

// From the tray with the window closed, against the HTTPS test host: a check
// that finds nothing new posts nothing, a new version is announced once, an
// installation that fails and one that succeeds each say so; a service that
// never answers holds nothing up.
TEST(DesktopNotices, TellWhatHappenedOutOfSight) {
  namespace fs = std::filesystem;
  kelvoma::testing::TempDir home;
  setenv("HOME", home.path().c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home.path() + "/.config").c_str(), 1);
  setenv("KELVOMA_STUB_LOG", home.file("stubs.log").c_str(), 1);
  unsetenv("KELVOMA_CODESIGN_STATUS");
  unsetenv("KELVOMA_SPCTL_STATUS");
  unsetenv("XDG_RUNTIME_DIR");
  home.write(".config/cz.tobranix.tools-manager.ini",
             "[General]\nautomaticChecks=false\nenabled.orbit-action-dial=false\n");
  fixture::BundleSpec installed = fixture::tool_bundle("orbit-action-dial", 1, "1.0.0");
  ASSERT_FALSE(fixture::make_bundle(fs::path(home.path()) / "Applications", installed).empty());

  kelvoma::testing::TestServer server(kelvoma::testing::ServerPort::fixture);
  ASSERT_TRUE(server.running()) << server.failure();
  const std::string manifestPath =
      "/tobranix/orbit-action-dial/releases/latest/download/release.json";
  // Build 1 (what is installed) and build 2, whose archive is held back at first.
  std::string manifests[3];
  fs::path archive;
  for (const int build : {1, 2}) {
    fixture::BundleSpec spec = fixture::tool_bundle("orbit-action-dial", build, "2.0.0");
    fixture::set_info(spec, "LSMinimumSystemVersion", std::string("1.0"));
    const fs::path staging = fs::path(home.path()) / ("build-" + std::to_string(build));
    ASSERT_FALSE(fixture::make_bundle(staging, spec).empty());
    Release release = fixture::fixture_release("orbit-action-dial");
    release.build = static_cast<std::uint64_t>(build);
    release.version = build == 1 ? "1.0.0" : "2.0.0";
    release.minimum_macos = "1.0";
    release.archive_url =
        fixture::archive_prefix("orbit-action-dial") + "v2.0.0/orbit-action-dial.zip";
    const auto published = fixture::publish_release(
        fs::path(server.root()) / "tobranix/orbit-action-dial/releases/download/v2.0.0",
        fixture::load_key("orbit-action-dial"), release,
        fixture::zip_entries(staging, {spec.bundle_name}, staging / "release.zip"));
    manifests[build] = kelvoma::testing::read_file(published.manifest);
    archive = published.archive;
  }
  const fs::path heldBack = archive.string() + ".held";
  fs::rename(archive, heldBack);

  DesktopSession desktop;
  ASSERT_TRUE(desktop.ready()) << desktop.failure();
  QDBusConnection bus = QDBusConnection::connectToBus(QString::fromStdString(desktop.busAddress()),
                                                      QStringLiteral("kelvoma-notices"));
  Watcher watcher;
  NoticeService notices;
  ASSERT_TRUE(
      bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher,
                         QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties) &&
      bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher")) &&
      bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &notices,
                         QDBusConnection::ExportAllSlots) &&
      bus.registerService(QStringLiteral("org.freedesktop.Notifications")));
  const std::string log = home.file("app.log");
  auto app = Process::start({KELVOMA_FIXTURE_EXE, "--background"}, log);
  ASSERT_TRUE(app.has_value());
  const auto appOutput = [&] {
    return "\napplication output:\n" + kelvoma::testing::read_file(log);
  };
  ASSERT_TRUE(answeringUntil(kStepLimit, [&] {
    return !watcher.registeredStatusNotifierItems().isEmpty();
  })) << appOutput();
  const QString item = watcher.registeredStatusNotifierItems().front();
  const auto checks = [&] {
    return std::ranges::count(server.requests(), manifestPath, &kelvoma::testing::Request::target);
  };
  const auto click = [&](const char* label) {
    return answeringUntil(kStepLimit,
                          [&] { return clickMenu(bus, item, QString::fromUtf8(label)); });
  };

  struct Step {
    const char* name;
    const char* click;
    int manifest;         // served from then on
    bool archive;         // build 2's archive is there
    bool answers;         // the service replies
    std::size_t notices;  // posted so far
    const char* summary;  // of a notice this step posts
    const char* body;
    uint replaces;
  };
  const Step steps[] = {
      {"nothing new", "Zkontrolovat verze", 1, false, true, 0, nullptr, nullptr, 0},
      {"a new version, the service silent", "Zkontrolovat verze", 2, false, false, 1,
       "Nová verze je připravená ke stažení", "Orbit Action Dial 2.0.0", 0},
      {"the same version again", "Zkontrolovat verze", 2, false, true, 1, nullptr, nullptr, 0},
      {"the archive missing", "Aktualizovat…", 2, false, true, 2,
       "Instalace nástroje Orbit Action Dial se nepodařila",
       "Stažení vydání se nepodařilo: server archiv nenašel (HTTP 404).", 0},
      {"installed", "Aktualizovat…", 2, true, true, 3, "Orbit Action Dial 2.0.0 je nainstalovaný.",
       "", 102},  // replaces the failure notice, the service's second answer
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    server.put(manifestPath, manifests[step.manifest]);
    if (step.archive && fs::exists(heldBack)) {
      fs::rename(heldBack, archive);
    }
    notices.answers = step.answers;
    const auto before = checks();
    const std::size_t posted = notices.calls.size();
    // A step begins as the menu changes shape (the last check's outcome): a
    // click that met the layout before it is lost, so it is given again
    // until the check it asks for has reached the server.
    ASSERT_TRUE(answeringUntil(kStepLimit, [&] {
      return click(step.click) && answeringUntil(5s, [&] { return checks() > before; });
    })) << appOutput();
    answeringUntil(step.summary != nullptr ? kStepLimit : 3s,
                   [&] { return notices.calls.size() > posted; });
    ASSERT_EQ(notices.calls.size(), step.notices) << appOutput();
    if (step.summary == nullptr) {
      continue;
    }
    const NoticeService::Call& last = notices.calls.back();
    EXPECT_EQ(last.summary, QString::fromUtf8(step.summary));
    EXPECT_EQ(last.body, QString::fromUtf8(step.body));
    EXPECT_EQ(last.replaces, step.replaces);
    EXPECT_EQ(last.application, QStringLiteral("Kelvoma"));
    EXPECT_EQ(last.icon, QStringLiteral("cz.tobranix.Kelvoma"));
    EXPECT_EQ(last.hints.value(QStringLiteral("desktop-entry")).toString(),
              QStringLiteral("cz.tobranix.Kelvoma"));
    EXPECT_TRUE(last.actions.contains(QStringLiteral("default")));
    if (!step.answers) {
      // The tray still answers at once while the notice waits for its reply.
      const auto waiting = checks();
      ASSERT_TRUE(click("Zkontrolovat verze"));
      EXPECT_TRUE(answeringUntil(3s, [&] { return checks() > waiting; })) << appOutput();
    }
  }
  EXPECT_EQ(app->stop(SIGTERM, 20s), 0) << appOutput();
  QDBusConnection::disconnectFromBus(QStringLiteral("kelvoma-notices"));
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
