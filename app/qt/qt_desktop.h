// The desktop part of the platform: the tools' entries under $XDG_DATA_HOME
// and the freedesktop trash.
#pragma once

#include <string>

#include "platform.h"
#include "system/desktop_entry.h"

namespace kelvoma::app::qt {

class QtDesktop : public Desktop {
 public:
  explicit QtDesktop(std::string dataHome);

  std::expected<void, std::string> publishEntry(const std::string& id,
                                                const std::optional<ToolEntry>& entry) override;
  std::expected<TrashedBundle, std::string> moveToTrash(const std::string& bundlePath) override;
  std::expected<void, std::string> putBack(const TrashedBundle& bundle) override;

 private:
  std::string dataHome_;
  system::DesktopEntries entries_;
};

}  // namespace kelvoma::app::qt
