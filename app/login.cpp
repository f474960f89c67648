// Launch at login: the platform keeps the registration; refresh reads it back.
#include "controller.h"

namespace kelvoma::app {

void Kelvoma::changeLogin(const Sender& sender) {
  if (platform_.loginItems.loginItemsSupported()) {
    const auto changed = sender.on ? platform_.loginItems.registerLoginItem()
                                   : platform_.loginItems.unregisterLoginItem();
    if (!changed) {
      platform_.dialogs.runModalAlert("Spuštění při přihlášení",
                                      changed.error().empty()
                                          ? "Povol Kelvoma v nastavení spouštění po přihlášení."
                                          : changed.error());
    }
  }
  refresh();
}

}  // namespace kelvoma::app
