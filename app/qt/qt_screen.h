// The screen part of the Qt platform: the tray's status item with its menu,
// and the manager window with its controls.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "manager_window.h"
#include "platform.h"
#include "status_tray.h"

namespace kelvoma::app::qt {

class QtScreen : public Screen {
 public:
  // forward: where the actions of menu items and controls go; trayAvailable:
  // whether a tray host shows status items now.
  QtScreen(Forward forward, std::function<bool()> trayAvailable);
  ~QtScreen() override;
  QtScreen(const QtScreen&) = delete;
  QtScreen& operator=(const QtScreen&) = delete;

  ManagerWindow* window() const { return window_.get(); }
  StatusTray* tray() const { return tray_.get(); }

  void createStatusItem(const StatusItemModel& model) override;
  bool statusItemAvailable() override;
  void setStatusMenu(const Menu& menu) override;
  void createWindow(const WindowModel& model) override;
  void showWindow() override;
  bool windowVisible() override;
  bool windowActive() override;
  void setStatusItemState(const std::string& toolTip, bool needsAttention) override;
  void setText(ControlId control, const std::string& text) override;
  void setToolTip(ControlId control, const std::optional<std::string>& text) override;
  void setTextColour(ControlId control, Colour colour) override;
  void setEnabled(ControlId control, bool enabled) override;
  void setState(ControlId control, bool on) override;
  void scrollTo(ControlId scrollView, double y) override;
  void setHidden(ControlId control, bool hidden) override;
  void setProgress(ControlId progressBar, const ProgressValue& value) override;

 private:
  Forward forward_;
  std::function<bool()> trayAvailable_;
  std::unique_ptr<ManagerWindow> window_;
  std::unique_ptr<StatusTray> tray_;
};

}  // namespace kelvoma::app::qt
