// The Qt window, tray menu and settings stores on the offscreen platform,
// driven by the real controller with the fake core.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDBusConnection>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTranslator>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

#include "app_icons.h"
#include "application_setup.h"
#include "controller.h"
#include "fake_core.h"
#include "manager_window.h"
#include "qt_platform.h"
#include "status_tray.h"
#include "symbols.h"

namespace kelvoma::app::qt {
namespace {

// Passes everything to the controller and notes how termination went.
struct TerminationWatch final : ApplicationDelegate {
  explicit TerminationWatch(Kelvoma& controller) : inner(controller) {}
  void applicationDidFinishLaunching() override { inner.applicationDidFinishLaunching(); }
  bool applicationShouldTerminate() override {
    answers.push_back(inner.applicationShouldTerminate());
    return answers.back();
  }
  void applicationShouldHandleReopen() override { inner.applicationShouldHandleReopen(); }
  void applicationWillTerminate() override {
    ++terminations;
    inner.applicationWillTerminate();
  }
  void perform(Action action, const Sender& sender) override {
    actions.push_back(action);
    inner.perform(action, sender);
  }
  Kelvoma& inner;
  std::vector<Action> actions;
  std::vector<bool> answers;  // of applicationShouldTerminate
  int terminations = 0;
};

class QtWindow : public ::testing::Test {
 protected:
  QTemporaryDir home;
  bool trayHost = true;
  testing::FakeCore core;
  std::unique_ptr<QtPlatform> platform;
  std::unique_ptr<Kelvoma> controller;

  void SetUp() override {
    ASSERT_TRUE(home.isValid());
    setenv("HOME", home.path().toUtf8().constData(), 1);
  }

  void TearDown() override {
    if (platform) {
      platform->waitForWorkers();
    }
    controller.reset();
    platform.reset();
  }

  void start(std::vector<std::string> args = {"kelvoma"}) {
    QtPlatformOptions options;
    options.arguments = std::move(args);
    options.configDirectory = (home.path() + "/.config").toStdString();
    options.dataDirectory = (home.path() + "/.local/share").toStdString();
    options.executable = "/usr/bin/kelvoma-test";
    options.trayAvailable = [this] { return trayHost; };
    platform = std::make_unique<QtPlatform>(options);
    // Only the test's own settings: no check at start, so rows stay unchecked.
    platform->writeSetting("cz.tobranix.tools-manager", "automaticChecks", false);
    controller = std::make_unique<Kelvoma>(platformOf(*platform), core.core());
    platform->setDelegate(controller.get());
    controller->applicationDidFinishLaunching();
    QApplication::processEvents();
  }

  void installBundle(const std::string& bundleName, const std::string& identifier,
                     const std::string& version) {
    const auto contents =
        std::filesystem::path(home.path().toStdString()) / "Applications" / bundleName / "Contents";
    std::filesystem::create_directories(contents);
    std::ofstream(contents / "Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        << "<key>CFBundleIdentifier</key><string>" << identifier << "</string>"
        << "<key>CFBundleVersion</key><string>5</string>"
        << "<key>CFBundleShortVersionString</key><string>" << version << "</string>"
        << "</dict></plist>\n";
  }

  ManagerWindow& window() { return *platform->window(); }
  QWidget* widget(ControlId id) { return window().control(id); }
  template <typename T>
  T* as(ControlId id) {
    return qobject_cast<T*>(widget(id));
  }
  QLabel* labelWithText(const QString& text) {
    for (QLabel* label : window().findChildren<QLabel*>()) {
      if (label->text() == text) {
        return label;
      }
    }
    return nullptr;
  }
  const RowRecord& row(const std::string& id) { return controller->rows().at(id); }
};

TEST_F(QtWindow, WindowIsFixedTitledAndShown) {
  start();
  EXPECT_TRUE(window().isVisible());
  EXPECT_EQ(window().windowTitle(), QString::fromUtf8("Kelvoma · Nástroje"));
  EXPECT_EQ(window().size(), QSize(660, 520));
  EXPECT_EQ(window().minimumSize(), window().maximumSize());
  EXPECT_FALSE(window().windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(window().windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(window().windowFlags() & Qt::WindowCloseButtonHint);
}

TEST_F(QtWindow, BackgroundKeepsItClosedAndClosingOnlyHides) {
  start({"kelvoma", "--background"});
  EXPECT_FALSE(window().isVisible());
  controller->show();
  EXPECT_TRUE(window().isVisible());
  window().close();
  EXPECT_FALSE(window().isVisible());
  controller->show();
  EXPECT_TRUE(window().isVisible());
}

TEST_F(QtWindow, WithoutATrayHostTheWindowStandsInUntilOneAppears) {
  trayHost = false;
  start({"kelvoma", "--background"});
  EXPECT_TRUE(window().isVisible());
  EXPECT_FALSE(platform->statusItemAvailable());
  EXPECT_EQ(platform->tray()->trayIcon(), nullptr);
  ASSERT_NE(platform->tray()->menu(), nullptr);  // kept up to date meanwhile

  platform->tray()->lookForHost();  // still none
  EXPECT_EQ(platform->tray()->trayIcon(), nullptr);
  trayHost = true;
  platform->tray()->lookForHost();
  QSystemTrayIcon* icon = platform->tray()->trayIcon();
  ASSERT_NE(icon, nullptr);
  EXPECT_TRUE(platform->statusItemAvailable());
  EXPECT_TRUE(icon->isVisible());
  EXPECT_EQ(icon->contextMenu(), platform->tray()->menu());
  EXPECT_EQ(icon->toolTip(), QString::fromUtf8("Kelvoma · správce nástrojů"));
  EXPECT_FALSE(icon->icon().isNull());
}

// The window's own dialogs keep the user's focus in it; another window takes it.
TEST_F(QtWindow, ActiveWhileItOrOneOfItsDialogsHasTheFocus) {
  start({"kelvoma", "--background"});
  EXPECT_FALSE(platform->windowActive());
  platform->showWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window()));
  EXPECT_TRUE(platform->windowActive());
  platform->showTextPanel({.title = "Co je nového", .accessibleName = "x", .text = "x"});
  ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() != &window(); }));
  EXPECT_TRUE(platform->windowActive());
  QWidget other;
  other.show();
  QApplication::setActiveWindow(&other);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  EXPECT_FALSE(platform->windowActive());
}

// Ctrl+Q takes the menu's way out: refused while an installation runs.
TEST_F(QtWindow, CtrlQQuitsLikeTheMenuItem) {
  start();
  window().activateWindow();
  QApplication::setActiveWindow(&window());
  as<QPushButton>(row("orbit-action-dial").install)->click();  // not installed: installs
  ASSERT_TRUE(controller->busy().contains("orbit-action-dial"));
  TerminationWatch watch(*controller);
  platform->setDelegate(&watch);

  QTest::keyClick(&window(), Qt::Key_Q, Qt::ControlModifier);
  EXPECT_EQ(watch.actions, std::vector<Action>{Action::quit});
  EXPECT_EQ(watch.answers, std::vector<bool>{false});
  EXPECT_EQ(watch.terminations, 0);

  platform->waitForWorkers();  // the installation ends
  ASSERT_TRUE(controller->busy().empty());
  QTest::keyClick(&window(), Qt::Key_Q, Qt::ControlModifier);
  EXPECT_EQ(watch.answers, (std::vector<bool>{false, true}));
  EXPECT_EQ(watch.terminations, 1);
  platform->setDelegate(controller.get());
}

// The tray shows our own pixels (XEmbed trays draw them as they are) and
// carries the symbolic icon's name only when the icon theme has it.
TEST(Icons, TrayPixelsReadOnDarkAndLightPanelsAndTheNameFollowsTheTheme) {
  const QImage image =
      statusItemIcon().pixmap(22, 22).toImage().convertToFormat(QImage::Format_ARGB32);
  int light = 0;
  int dark = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QColor pixel = image.pixelColor(x, y);
      if (pixel.alpha() == 255) {
        light += pixel.lightness() > 200 ? 1 : 0;
        dark += pixel.lightness() < 60 ? 1 : 0;
      }
    }
  }
  EXPECT_GT(light, 40);  // the glyph
  EXPECT_GT(dark, 20);   // its outline
  EXPECT_FALSE(applicationIcon().isNull());

  // The theme a desktop without one of its own uses; offscreen has none.
  const QStringList before = QIcon::themeSearchPaths();
  const QString theme = QIcon::themeName();
  QIcon::setThemeName(QStringLiteral("hicolor"));
  QIcon::setThemeSearchPaths({QStringLiteral("/nonexistent")});
  EXPECT_EQ(statusItemIcon().name(), QString());
  QIcon::setThemeSearchPaths(
      {QStringLiteral(KELVOMA_ICONS_DIR), QStringLiteral("/usr/share/icons")});
  EXPECT_EQ(statusItemIcon().name(), QString::fromLatin1(kTrayIconName));
  EXPECT_EQ(applicationIcon().name(), QString::fromLatin1(kApplicationIconName));
  QIcon::setThemeSearchPaths(before);
  QIcon::setThemeName(theme);
}

// Frames flipped from the window's bottom-left coordinates into Qt's.
TEST_F(QtWindow, TopLevelFramesAndTexts) {
  start();
  struct Expected {
    const char* text;
    QRect geometry;
    int pixelSize;
    QFont::Weight weight;
  };
  const Expected labels[] = {
      {"Malé aplikace. Jedno místo.", {28, 39, 400, 36}, 24, QFont::DemiBold},
      {"Tvoje nástroje, připravené k zapnutí.", {28, 86, 600, 24}, -1, QFont::Normal},
  };
  for (const Expected& each : labels) {
    QLabel* label = labelWithText(QString::fromUtf8(each.text));
    ASSERT_NE(label, nullptr) << each.text;
    EXPECT_EQ(label->geometry(), each.geometry) << each.text;
    if (each.pixelSize > 0) {
      EXPECT_EQ(label->font().pixelSize(), each.pixelSize);
    }
    EXPECT_EQ(label->font().weight(), each.weight) << each.text;
  }
  const WindowLayout& layout = controller->layout();
  EXPECT_EQ(widget(layout.scrollView)->geometry(), QRect(20, 128, 620, 260));
  EXPECT_EQ(as<QPushButton>(layout.checkButton)->geometry(), QRect(28, 402, 194, 32));
  EXPECT_EQ(as<QPushButton>(layout.checkButton)->text(), "Zkontrolovat verze");
  EXPECT_EQ(as<QCheckBox>(layout.automatic)->geometry(), QRect(242, 402, 390, 32));
  EXPECT_EQ(as<QCheckBox>(layout.automatic)->text(),
            QString::fromUtf8("Hledat aktualizace každou hodinu"));
  EXPECT_EQ(as<QCheckBox>(layout.login)->geometry(), QRect(28, 472, 370, 30));
  EXPECT_EQ(as<QCheckBox>(layout.login)->text(),
            QString::fromUtf8("Spustit Kelvoma při přihlášení"));
  EXPECT_FALSE(as<QCheckBox>(layout.automatic)->isChecked());
}

TEST_F(QtWindow, ListOfThreeRowsWithTheFirstAtTheTop) {
  start();
  auto* scroll = as<QScrollArea>(controller->layout().scrollView);
  ASSERT_NE(scroll, nullptr);
  QWidget* list = scroll->widget();
  EXPECT_EQ(list->size(), QSize(600, 690));
  EXPECT_EQ(scroll->verticalScrollBar()->value(), 0);
  EXPECT_EQ(scroll->verticalScrollBar()->maximum(), 430);

  // Boxes at y = 468, 238 and 8 in the list's bottom-left coordinates.
  const QWidget* state = widget(row("orbit-action-dial").state);
  const QWidget* box = state->parentWidget();
  EXPECT_EQ(box->parentWidget(), list);
  EXPECT_EQ(box->geometry(), QRect(4, 10, 588, 212));
  EXPECT_EQ(widget(row("pane-keeper").state)->parentWidget()->geometry(), QRect(4, 240, 588, 212));
  EXPECT_EQ(widget(row("clip-ledger").state)->parentWidget()->geometry(), QRect(4, 470, 588, 212));
}

TEST_F(QtWindow, RowControlsFramesTextsAndStyles) {
  start();
  const RowRecord& clip = row("clip-ledger");
  const RowRecord& orbit = row("orbit-action-dial");
  struct Expected {
    ControlId id;
    QRect geometry;
    const char* text;
    bool enabled;
  };
  const Expected expected[] = {
      {clip.state, {420, 31, 130, 24}, "Nenainstalováno", true},
      {clip.version, {20, 110, 386, 24}, "Stáhni nástroj do složky ~/Applications.", true},
      {clip.toggle, {20, 158, 116, 32}, "Zapnuto", false},
      {clip.settings, {146, 158, 120, 32}, "Otevřít…", false},
      {clip.trash, {274, 158, 140, 32}, "Přesunout do koše", false},
      {clip.install, {422, 158, 132, 32}, "Nainstalovat", true},
      {clip.message, {20, 136, 534, 24}, "Aktualizace spravuje samotná aplikace.", true},
      {orbit.settings, {146, 158, 120, 32}, "Nastavení…", false},
      {orbit.message, {20, 136, 534, 24}, "", true},
  };
  for (const Expected& each : expected) {
    QWidget* control = widget(each.id);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->geometry(), each.geometry) << each.text;
    EXPECT_EQ(control->isEnabled(), each.enabled) << each.text;
    const QString text = qobject_cast<QLabel*>(control) != nullptr
                             ? qobject_cast<QLabel*>(control)->text()
                             : qobject_cast<QAbstractButton*>(control)->text();
    EXPECT_EQ(text, QString::fromUtf8(each.text));
  }
  EXPECT_TRUE(as<QLabel>(clip.state)->alignment() & Qt::AlignRight);
  EXPECT_EQ(as<QLabel>(clip.version)->font().pixelSize(), 12);
  EXPECT_EQ(as<QLabel>(clip.message)->font().pixelSize(), 11);
  EXPECT_FALSE(as<QLabel>(clip.message)->wordWrap());
  EXPECT_TRUE(as<QLabel>(clip.version)->wordWrap());

  QLabel* name = labelWithText("Clip Ledger");
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(name->geometry(), QRect(68, 31, 330, 26));
  EXPECT_EQ(name->font().pixelSize(), 17);
  EXPECT_EQ(name->font().weight(), QFont::DemiBold);
  QLabel* description = labelWithText(
      QString::fromUtf8("Historie schránky s rychlým hledáním; aktualizuje se sama."));
  ASSERT_NE(description, nullptr);
  EXPECT_EQ(description->geometry(), QRect(20, 66, 530, 40));
}

TEST_F(QtWindow, StateColourAndVersionFollowTheDisk) {
  start();
  const RowRecord& pane = row("pane-keeper");
  const QColor grey = colourOf(Colour::secondaryLabel, window().palette());
  EXPECT_EQ(as<QLabel>(pane.state)->palette().color(QPalette::WindowText), grey);
  installBundle("Pane Keeper.app", "cz.tobranix.pane-keeper", "2.4.1");
  controller->refresh();
  EXPECT_EQ(as<QLabel>(pane.state)->text(), "Vypnuto");
  EXPECT_EQ(as<QLabel>(pane.version)->text(), QString::fromUtf8("Nainstalováno 2.4.1"));
  EXPECT_EQ(as<QAbstractButton>(pane.install)->text(), "Zkontrolovat");
  EXPECT_TRUE(widget(pane.toggle)->isEnabled());
}

TEST_F(QtWindow, ToolIconsFromOurSymbolsAndEmptyForUnknownNames) {
  core.catalog =
      R"([{"id":"a","name":"A","symbol":"circle.dashed","bundle_id":"x.a","bundle_name":"A.app"},)"
      R"({"id":"b","name":"B","symbol":"no.such.symbol","bundle_id":"x.b","bundle_name":"B.app"}])";
  start();
  std::vector<const QLabel*> images;
  for (const QLabel* label : window().findChildren<QLabel*>()) {
    if (label->size() == QSize(34, 34)) {
      images.push_back(label);
    }
  }
  ASSERT_EQ(images.size(), 2u);
  int withPixmap = 0;
  for (const QLabel* image : images) {
    withPixmap += image->pixmap().isNull() ? 0 : 1;
  }
  EXPECT_EQ(withPixmap, 1);
  for (const char* name :
       {"square.stack.3d.up", "circle.dashed", "rectangle.split.2x2", "doc.on.clipboard"}) {
    EXPECT_TRUE(hasSymbol(name)) << name;
    EXPECT_FALSE(symbolIcon(name, Qt::black).isNull()) << name;
  }
  EXPECT_TRUE(symbolIcon("../symbols/circle.dashed", Qt::black).isNull());
  EXPECT_TRUE(symbolPixmap("", 16, Qt::black).isNull());
}

TEST_F(QtWindow, ButtonsAndMenuItemsReachTheController) {
  start();
  as<QPushButton>(row("orbit-action-dial").install)->click();  // not installed: installs
  EXPECT_TRUE(controller->busy().contains("orbit-action-dial"));
  EXPECT_EQ(as<QAbstractButton>(row("orbit-action-dial").install)->text(),
            QString::fromUtf8("Pracuji…"));
  EXPECT_FALSE(widget(controller->layout().checkButton)->isEnabled());

  QMenu* menu = platform->tray()->menu();
  ASSERT_NE(menu, nullptr);
  const QList<QAction*> actions = menu->actions();
  ASSERT_EQ(actions.size(), 10);
  EXPECT_EQ(actions[0]->text(), "Kelvoma");
  EXPECT_FALSE(actions[0]->isEnabled());
  EXPECT_EQ(actions[2]->text(), QString::fromUtf8("Orbit Action Dial · Nenainstalováno"));
  ASSERT_NE(actions[2]->menu(), nullptr);
  EXPECT_FALSE(actions[2]->menu()->actions()[2]->isEnabled());  // busy
  QAction* pane = actions[3]->menu()->actions()[2];
  EXPECT_EQ(pane->text(), QString::fromUtf8("Nainstalovat…"));
  pane->trigger();
  EXPECT_TRUE(controller->busy().contains("pane-keeper"));
  EXPECT_EQ(actions[9]->text(), "Ukončit Kelvoma");
}

TEST_F(QtWindow, MenuOfTheSameShapeIsUpdatedInPlace) {
  start();
  QMenu* before = platform->tray()->menu();
  controller->refresh();
  EXPECT_EQ(platform->tray()->menu(), before);
  // An external tool that appears loses its adopt item: a new menu.
  installBundle("ClipLedger.app", "cz.tobranix.clip-ledger", "1.0");
  controller->refresh();
  QMenu* after = platform->tray()->menu();
  EXPECT_NE(after, before);
  EXPECT_EQ(after->actions()[4]->menu()->actions().size(), 4);
  EXPECT_EQ(after->actions()[4]->text(), QString::fromUtf8("Clip Ledger · Vypnuto"));
}

TEST_F(QtWindow, SettingsAreWrittenThroughToOneFilePerDomain) {
  start();
  platform->writeSetting("cz.tobranix.pane-keeper", "managedByKelvoma", true);
  platform->writeSetting("cz.tobranix.tools-manager", "applicationPath.x",
                         std::string("/opt/X.app"));
  platform->writeSetting("cz.tobranix.tools-manager",
                         "NSStatusItem Preferred Position KelvomaStatusItem", 0.0);
  const QString config = home.path() + "/.config/";
  ASSERT_TRUE(QFile::exists(config + "cz.tobranix.pane-keeper.ini"));
  // Another process sees the values at once.
  QSettings other(config + "cz.tobranix.pane-keeper.ini", QSettings::IniFormat);
  EXPECT_EQ(other.value("managedByKelvoma").toString(), "true");
  QSettings own(config + "cz.tobranix.tools-manager.ini", QSettings::IniFormat);
  EXPECT_EQ(own.value("applicationPath.x").toString(), "/opt/X.app");
  EXPECT_EQ(own.value("automaticChecks").toString(), "false");

  // A later start reads them back the way the controller expects.
  controller.reset();
  platform.reset();
  QtPlatformOptions options;
  options.configDirectory = (home.path() + "/.config").toStdString();
  options.dataDirectory = (home.path() + "/.local/share").toStdString();
  QtPlatform again(options);
  UserDefaults defaults(again);
  EXPECT_TRUE(defaults.hasObject("automaticChecks"));
  EXPECT_FALSE(defaults.boolForKey("automaticChecks"));
  EXPECT_TRUE(defaults.boolForKey("compactMenuPositionV1"));
  EXPECT_EQ(defaults.stringForKey("applicationPath.x"), "/opt/X.app");
  EXPECT_FALSE(defaults.hasObject("enabled.x"));
}

// Pressing "Nainstalovat" gives it focus and the installation disables it: the
// focus must not wander down the list and scroll the pressed row out of view.
TEST_F(QtWindow, DisablingThePressedButtonKeepsTheListInPlace) {
  start();
  auto* scroll = as<QScrollArea>(controller->layout().scrollView);
  ASSERT_NE(scroll, nullptr);
  ASSERT_EQ(scroll->verticalScrollBar()->value(), 0);
  QWidget* install = widget(row("orbit-action-dial").install);
  install->setFocus(Qt::MouseFocusReason);
  ASSERT_EQ(window().focusWidget(), install);
  platform->setEnabled(row("orbit-action-dial").install, false);
  EXPECT_FALSE(install->isEnabled());
  EXPECT_EQ(scroll->verticalScrollBar()->value(), 0);
  EXPECT_EQ(window().focusWidget(), nullptr);
}

// main() takes the session bus away from this test program.
TEST_F(QtWindow, RunsWithoutASessionBus) {
  ASSERT_FALSE(QDBusConnection::sessionBus().isConnected());
  installBundle("Orbit Action Dial.app", "cz.tobranix.orbit-action-dial", "1.4.0");
  start();  // announces management: a post with nobody to post to
  platform->postNotification("KelvomaManagementChanged", "cz.tobranix.pane-keeper");
  controller->applicationWillTerminate();
  EXPECT_TRUE(window().isVisible());
}

TEST_F(QtWindow, ScreenshotOfTheWindow) {
  installBundle("Orbit Action Dial.app", "cz.tobranix.orbit-action-dial", "1.4.0");
  core.checkAnswers["orbit-action-dial"] =
      R"({"available":true,"build":6,"ok":true,"version":"1.5.0"})";
  start();
  controller->checkAll();
  // Let the worker's answer come back.
  for (int i = 0; i < 200 && !controller->checking().empty(); ++i) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
  ASSERT_TRUE(controller->checking().empty());
  EXPECT_EQ(as<QAbstractButton>(row("orbit-action-dial").install)->text(), "Aktualizovat");
  EXPECT_TRUE(as<QLabel>(row("orbit-action-dial").message)
                  ->text()
                  .endsWith(QString::fromUtf8(" · Nová verze je připravená ke stažení.")));
  QDir().mkpath(KELVOMA_APP_ARTIFACTS);
  const QString path = QStringLiteral(KELVOMA_APP_ARTIFACTS "/manager-window.png");
  const QImage image = window().grab().toImage();
  EXPECT_EQ(image.size(), QSize(660, 520) * window().devicePixelRatio());
  ASSERT_TRUE(image.save(path));
  std::cout << "window grab: " << path.toStdString() << "\n";
}

TEST_F(QtWindow, NotesOpenAsPlainTextInAReadOnlyPanel) {
  installBundle("Orbit Action Dial.app", "cz.tobranix.orbit-action-dial", "1.4.0");
  core.checkAnswers["orbit-action-dial"] =
      R"({"available":true,"build":9,"ok":true,"version":"2.0"})";
  core.notesAnswers["orbit-action-dial"] =
      R"({"ok":true,"text":"<a href=\"https://x\">odkaz</a>\n<b>tučně</b>"})";
  start();
  controller->checkAll();
  QWidget* notes = widget(row("orbit-action-dial").notes);
  for (int i = 0; i < 400 && notes->isHidden(); ++i) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
  ASSERT_FALSE(notes->isHidden());
  QTest::mouseClick(qobject_cast<QAbstractButton*>(notes), Qt::LeftButton);
  QApplication::processEvents();
  auto* text = window().findChild<QPlainTextEdit*>(QStringLiteral("notesText"));
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text->toPlainText(),
            QString::fromUtf8("<a href=\"https://x\">odkaz</a>\n<b>tučně</b>"));
  EXPECT_TRUE(text->isReadOnly());
  EXPECT_EQ(text->accessibleName(), QString::fromUtf8("Co je nového – Orbit Action Dial 2.0"));
  text->window()->close();
}

TEST(Application, AnAccessoryThatOutlivesItsWindow) {
  EXPECT_FALSE(QApplication::quitOnLastWindowClosed());
  EXPECT_EQ(QApplication::font().pixelSize(), 13);
  EXPECT_EQ(QApplication::desktopFileName(), "cz.tobranix.Kelvoma");
}

TEST(Translations, StockTextsAreCzech) {
  QTranslator translator;
  ASSERT_TRUE(installCzechTranslations(*QCoreApplication::instance(), translator));
  QDialogButtonBox buttons(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  EXPECT_EQ(buttons.button(QDialogButtonBox::Cancel)->text().remove('&'),
            QString::fromUtf8("Zrušit"));
  QFileDialog dialog;
  dialog.setOption(QFileDialog::DontUseNativeDialog, true);
  EXPECT_NE(dialog.labelText(QFileDialog::FileName), "File &name:");
  QCoreApplication::removeTranslator(&translator);
}

}  // namespace
}  // namespace kelvoma::app::qt

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  // No session bus whatever the caller's session offers: an address that
  // leads nowhere also keeps libdbus from finding one of its own (the
  // desktop's in XDG_RUNTIME_DIR, or one started for the X display).
  qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kelvoma-no-session-bus");
  QApplication application(argc, argv);
  kelvoma::app::qt::configureAccessoryApplication();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
