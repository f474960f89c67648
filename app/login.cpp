// Launch at login: the platform keeps the registration; refresh reads it back.
#include "controller.h"

namespace kelvoma::app {

void Kelvoma::changeLogin(const Sender& sender) {
  if (platform_.loginItems.loginItemsSupported()) {
    const auto changed = sender.on ? platform_.loginItems.registerLoginItem()
                                   : platform_.loginItems.unregisterLoginItem();
    if (!changed) {
      // The fallback names no particular desktop: the registration is an
      // autostart entry of whatever session the user runs.
      platform_.dialogs.runModalAlert(
          "Spuštění při přihlášení",
          changed.error().empty() ? "Povol Kelvoma v nastavení systému." : changed.error());
    }
  }
  refresh();
}

}  // namespace kelvoma::app
