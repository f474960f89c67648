#include "application_setup.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFont>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace kelvoma::app::qt {

void configureAccessoryApplication() {
  QApplication::setApplicationName(QStringLiteral("Kelvoma"));
  QApplication::setDesktopFileName(QStringLiteral("cz.tobranix.Kelvoma"));
  QApplication::setQuitOnLastWindowClosed(false);
  QFont font = QApplication::font();
  font.setPixelSize(13);
  QApplication::setFont(font);
}

bool installCzechTranslations(QCoreApplication& application, QTranslator& translator) {
  const QLocale czech(QLocale::Czech, QLocale::Czechia);
  QLocale::setDefault(czech);
  if (!translator.load(czech, QStringLiteral("qtbase"), QStringLiteral("_"),
                       QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    return false;
  }
  return application.installTranslator(&translator);
}

}  // namespace kelvoma::app::qt
