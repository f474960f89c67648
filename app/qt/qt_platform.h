// The Qt 6 implementation of the platform: one part per interface, each in a
// file of its own (qt_application.h, qt_screen.h, ...), joined here into the
// object whose parts platformOf(*this) hands to the controller.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "bus_names.h"
#include "platform.h"
#include "qt_application.h"
#include "qt_desktop.h"
#include "qt_desktop_notifications.h"
#include "qt_dialogs.h"
#include "qt_files.h"
#include "qt_login_items.h"
#include "qt_network_cost.h"
#include "qt_notifications.h"
#include "qt_scheduler.h"
#include "qt_screen.h"
#include "qt_settings.h"
#include "qt_workspace.h"
#include "reopen_channel.h"
#include "tray_host.h"

namespace kelvoma::app::qt {

struct QtPlatformOptions {
  std::vector<std::string> arguments;
  std::string configDirectory;  // where the settings stores and autostart/ live
  std::string dataDirectory;    // where applications/, icons/ and the Trash live
  std::string executable;       // the program a login item must start
  std::string procRoot = "/proc";
  std::function<bool()> trayAvailable = statusItemHostAvailable;
};

// The defaults: the process's arguments, $XDG_CONFIG_HOME (or ~/.config) and
// this executable.
QtPlatformOptions defaultOptions(int argc, char** argv);

class QtPlatform final : public QtNotifications,
                         public QtApplication,
                         public QtScreen,
                         public QtSettings,
                         public QtScheduler,
                         public QtFiles,
                         public QtWorkspace,
                         public QtLoginItems,
                         public QtDesktop,
                         public QtDialogs,
                         public QtDesktopNotifications,
                         public QtNetworkCost {
 public:
  explicit QtPlatform(QtPlatformOptions options);
  ~QtPlatform() override;

  // Lets the delegate start once the event loop runs, then runs the loop.
  // When another instance already runs in this session, asks it to show its
  // window instead and returns at once with false.
  bool run(ApplicationDelegate& delegate);

 private:
  void forward(Action action, const Sender& sender);
  bool claimSession();

  ReopenChannel reopenChannel_;
};

}  // namespace kelvoma::app::qt
