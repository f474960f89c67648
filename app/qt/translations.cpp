#include "translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace kelvoma::app::qt {

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
