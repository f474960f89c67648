// The login item part of the platform: the desktop session's autostart entry.
#pragma once

#include <string>

#include "platform.h"
#include "system/autostart.h"

namespace kelvoma::app::qt {

class QtLoginItems : public LoginItems {
 public:
  // entryPath: the autostart entry; executable: the program it starts, empty
  // when unknown (then there is no login item).
  QtLoginItems(std::string entryPath, std::string executable);

  bool loginItemsSupported() override;
  LoginItemStatus loginItemStatus() override;
  std::expected<void, std::string> registerLoginItem() override;
  std::expected<void, std::string> unregisterLoginItem() override;

 private:
  bool supported_;
  system::Autostart autostart_;
};

}  // namespace kelvoma::app::qt
