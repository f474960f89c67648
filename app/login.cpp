// Launch at login: the platform keeps the registration; refresh reads it back.
#include "kelvoma.h"

namespace kelvoma::app {

void Kelvoma::changeLogin(const Sender& sender) {
  if (platform_.loginItemsSupported()) {
    const auto changed =
        sender.on ? platform_.registerLoginItem() : platform_.unregisterLoginItem();
    if (!changed) {
      platform_.runModalAlert("Spuštění při přihlášení", changed.error().empty()
                                                             ? "Povol Kelvoma v nastavení macOS."
                                                             : changed.error());
    }
  }
  refresh();
}

}  // namespace kelvoma::app
