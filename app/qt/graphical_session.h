// Whether the application has a desktop to show itself on. Qt aborts when it
// finds no display it can reach; a terminal user gets one line and status 1
// instead.
#pragma once

#include <expected>
#include <memory>
#include <string>

class QApplication;

namespace kelvoma::app::qt {

// Checked before Qt picks a platform: fine when DISPLAY or WAYLAND_DISPLAY is
// set, or the user chose a platform (QT_QPA_PLATFORM, "-platform NAME");
// otherwise the line to print.
std::expected<void, std::string> graphicalSessionNamed(int argc, char** argv);

// Creates the application on the named display. When Qt cannot reach it, the
// process ends here with one line on standard error and status 1, whatever
// else the environment holds (a WAYLAND_DISPLAY without XDG_RUNTIME_DIR, say);
// Qt's own warnings on the way, and what the libraries below it write to
// standard error meanwhile, are printed only with QT_DEBUG_PLUGINS or
// KELVOMA_DEBUG set.
std::unique_ptr<QApplication> connectToDisplay(int& argc, char** argv);

}  // namespace kelvoma::app::qt
