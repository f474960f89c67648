// Whether the desktop can show the status item now.
#pragma once

namespace kelvoma::app::qt {

// A StatusNotifier watcher with a registered host on the session bus, or an
// XEmbed tray on the X display, and Qt's tray able to use it. Qt decides once
// per process whether it speaks StatusNotifier: its own check is asked only
// after ours found a host, so that a host started later is still used.
bool statusItemHostAvailable();

}  // namespace kelvoma::app::qt
