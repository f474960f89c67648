#include "qt_login_items.h"

namespace kelvoma::app::qt {

QtLoginItems::QtLoginItems(std::string entryPath, std::string executable)
    : supported_(!executable.empty()), autostart_(std::move(entryPath), std::move(executable)) {}

bool QtLoginItems::loginItemsSupported() { return supported_; }

LoginItemStatus QtLoginItems::loginItemStatus() { return autostart_.status(); }

std::expected<void, std::string> QtLoginItems::registerLoginItem() { return autostart_.enable(); }

std::expected<void, std::string> QtLoginItems::unregisterLoginItem() {
  return autostart_.disable();
}

}  // namespace kelvoma::app::qt
