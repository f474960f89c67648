#include "qt_screen.h"

#include <QApplication>

namespace kelvoma::app::qt {
namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

QtScreen::QtScreen(Forward forward, std::function<bool()> trayAvailable)
    : forward_(std::move(forward)), trayAvailable_(std::move(trayAvailable)) {}

QtScreen::~QtScreen() = default;

void QtScreen::createStatusItem(const StatusItemModel& model) {
  tray_ = std::make_unique<StatusTray>(model, forward_, trayAvailable_);
}

bool QtScreen::statusItemAvailable() { return tray_ && tray_->shown(); }

void QtScreen::setStatusMenu(const Menu& menu) {
  if (tray_) {
    tray_->setMenu(menu);
  }
}

void QtScreen::createWindow(const WindowModel& model) {
  window_ = std::make_unique<ManagerWindow>(model, forward_);
  window_->centreOnScreen();
}

// A minimized window counts as shown for Qt, so show() alone leaves it
// hidden: the minimized state goes first (on X11 that maps the window again).
void QtScreen::showWindow() {
  if (window_) {
    window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
    window_->show();
    window_->raise();
    window_->activateWindow();
  }
}

bool QtScreen::windowVisible() {
  return window_ && window_->isVisible() && !window_->isMinimized();
}

// The window's own dialogs (the notes, an alert, the open panel) keep the
// user's focus in it: they are windows of their own, parented to it. The
// window becomes active only when the window system says so, shortly after
// showWindow(), and not at all where the window manager refuses the focus.
bool QtScreen::windowActive() {
  if (!windowVisible()) {
    return false;
  }
  for (QWidget* active = QApplication::activeWindow(); active != nullptr;
       active = active->parentWidget() != nullptr ? active->parentWidget()->window() : nullptr) {
    if (active == window_.get()) {
      return true;
    }
  }
  return false;
}

void QtScreen::setStatusItemState(const std::string& toolTip, bool needsAttention) {
  if (tray_) {
    tray_->setToolTip(qs(toolTip));
    tray_->setAttention(needsAttention);
  }
}

void QtScreen::setText(ControlId control, const std::string& text) {
  if (window_) {
    window_->setText(control, qs(text));
  }
}

void QtScreen::setToolTip(ControlId control, const std::optional<std::string>& text) {
  if (window_) {
    window_->setToolTip(control, text ? std::optional<QString>(qs(*text)) : std::nullopt);
  }
}

void QtScreen::setTextColour(ControlId control, Colour colour) {
  if (window_) {
    window_->setTextColour(control, colour);
  }
}

void QtScreen::setEnabled(ControlId control, bool enabled) {
  if (window_) {
    window_->setEnabled(control, enabled);
  }
}

void QtScreen::setState(ControlId control, bool on) {
  if (window_) {
    window_->setState(control, on);
  }
}

void QtScreen::scrollTo(ControlId scrollView, double y) {
  if (window_) {
    window_->scrollTo(scrollView, y);
  }
}

void QtScreen::setHidden(ControlId control, bool hidden) {
  if (window_) {
    window_->setHidden(control, hidden);
  }
}

void QtScreen::setProgress(ControlId progressBar, const ProgressValue& value) {
  if (window_) {
    window_->setProgress(progressBar, value);
  }
}

}  // namespace kelvoma::app::qt
