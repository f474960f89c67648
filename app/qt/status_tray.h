// The status item: a tray icon whose menu follows each Menu it is given.
#pragma once

#include <QObject>
#include <memory>
#include <vector>

#include "manager_window.h"
#include "ui_model.h"

class QMenu;
class QAction;
class QSystemTrayIcon;

namespace kelvoma::app::qt {

class StatusTray : public QObject {
 public:
  StatusTray(const StatusItemModel& model, Forward forward);
  ~StatusTray() override;

  // Shows menu. A menu of the same shape as the current one is written into
  // the existing items, so an open menu stays open while it is refreshed.
  void setMenu(const Menu& menu);

  QMenu* menu() const { return menu_.get(); }
  QSystemTrayIcon* trayIcon() const { return tray_.get(); }

 private:
  void fill(QMenu* into, const std::vector<MenuItem>& items);
  void update(QMenu* into, const std::vector<MenuItem>& items);
  void describe(QAction* action, const MenuItem& item);

  Forward forward_;
  std::unique_ptr<QSystemTrayIcon> tray_;
  std::unique_ptr<QMenu> menu_;
  std::vector<MenuItem> shown_;
};

}  // namespace kelvoma::app::qt
