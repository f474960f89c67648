// The dialogs part of the Qt platform: alerts, the open panel and text panels, over the
// manager window when there is one.
#pragma once

#include <QFileIconProvider>
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
  void showTextPanel(const TextPanel& panel) override;

 private:
  // Qt 6 names a folder's type under a context its Czech catalogue lacks;
  // the file dialog's own entry has the Czech word.
  class FolderTypes : public QFileIconProvider {
   public:
    QString type(const QFileInfo& info) const override;
  };

  std::function<QWidget*()> window_;
  FolderTypes folderTypes_;
};

}  // namespace kelvoma::app::qt
