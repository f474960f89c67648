// The application's login item: an XDG autostart entry.
#pragma once

#include <expected>
#include <string>

#include "platform.h"

namespace kelvoma::app::system {

class Autostart {
 public:
  // entryPath: "<config>/autostart/<domain>.desktop"; executable: the program
  // the entry must start to count as enabled.
  Autostart(std::string entryPath, std::string executable);

  // enabled when the entry exists and starts the executable, with whatever
  // arguments (older entries start it without --background).
  LoginItemStatus status() const;
  std::expected<void, std::string> enable() const;
  std::expected<void, std::string> disable() const;

  const std::string& entryPath() const { return entryPath_; }

 private:
  std::string entryPath_;
  std::string executable_;
};

}  // namespace kelvoma::app::system
