// kelvoma_run: the Qt application with the controller as its delegate.
#include <unistd.h>

#include <QApplication>
#include <QTranslator>
#include <cstdio>

#include "app_icons.h"
#include "application_setup.h"
#include "controller.h"
#include "graphical_session.h"
#include "kelvoma_run.h"
#include "qt_platform.h"

extern "C" int kelvoma_run(int argc, char** argv) {
  if (const auto session = kelvoma::app::qt::graphicalSessionNamed(argc, argv); !session) {
    std::fprintf(stderr, "%s\n", session.error().c_str());
    return 1;
  }
  const auto application = kelvoma::app::qt::connectToDisplay(argc, argv);
  kelvoma::app::qt::configureAccessoryApplication();
  QTranslator translator;
  // Everything the user sees is Czech, the toolkit's own buttons and dialogs too.
  kelvoma::app::qt::installCzechTranslations(*application, translator);

  kelvoma::app::qt::QtPlatform platform(kelvoma::app::qt::defaultOptions(argc, argv));
  QApplication::setWindowIcon(kelvoma::app::qt::applicationIcon());
  kelvoma::app::Kelvoma controller(kelvoma::app::platformOf(platform), kelvoma::app::linkedCore());
  if (!platform.run(controller)) {
    return 0;  // the instance already running shows its window instead
  }
  if (platform.hasRunningWork()) {
    // A check still waits for its transfer; it must not hold up the exit.
    std::fflush(nullptr);
    _exit(0);
  }
  return 0;
}
