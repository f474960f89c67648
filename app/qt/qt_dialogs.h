// The dialogs part of the Qt platform: alerts and the open panel, over the
// manager window when there is one.
#pragma once

#include <QWidget>
#include <functional>

#include "platform.h"

namespace kelvoma::app::qt {

class QtDialogs : public Dialogs {
 public:
  // window: the manager window once it is made, or nullptr.
  explicit QtDialogs(std::function<QWidget*()> window);

  void showAlertSheet(const std::string& message, const std::string& informative) override;
  void runModalAlert(const std::string& message, const std::string& informative) override;
  void beginOpenPanelSheet(const OpenPanelOptions& options,
                           std::function<void(std::optional<std::string>)> completion) override;

 private:
  std::function<QWidget*()> window_;
};

}  // namespace kelvoma::app::qt
