// How the Qt application is set up before the controller starts.
#pragma once

class QApplication;
class QCoreApplication;
class QTranslator;

namespace kelvoma::app::qt {

// An accessory application: it lives in the tray, so closing its window does
// not end it; names and the base font of 13 pixels that the layout assumes.
void configureAccessoryApplication();

// Loads Qt's Czech translation from the system's translations folder into
// translator and installs it; makes Czech the default locale either way.
// Returns whether the translation was found.
bool installCzechTranslations(QCoreApplication& application, QTranslator& translator);

}  // namespace kelvoma::app::qt
