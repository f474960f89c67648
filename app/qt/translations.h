// The toolkit's own texts (dialog buttons, file dialog) in Czech.
#pragma once

class QCoreApplication;
class QTranslator;

namespace kelvoma::app::qt {

// Loads Qt's Czech translation from the system's translations folder into
// translator and installs it; makes Czech the default locale either way.
// Returns whether the translation was found.
bool installCzechTranslations(QCoreApplication& application, QTranslator& translator);

}  // namespace kelvoma::app::qt
