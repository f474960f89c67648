// The status item: a tray icon whose menu follows each Menu it is given.
// Without a tray host it waits, looking again every few seconds, and shows
// itself once a host appears.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
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
  // hostAvailable tells whether the desktop can show the item now.
  StatusTray(const StatusItemModel& model, Forward forward, std::function<bool()> hostAvailable);
  ~StatusTray() override;

  // Whether the item is on the desktop.
  bool shown() const { return tray_ != nullptr; }
  // Shows the item when a host has appeared; the poll's tick.
  void lookForHost();

  // Shows menu. A menu of the same shape as the current one is written into
  // the existing items, so an open menu stays open while it is refreshed.
  void setMenu(const Menu& menu);

  // The item's tool tip.
  void setToolTip(const QString& toolTip);
  // Whether the item asks for the user's attention. QSystemTrayIcon has no
  // call for StatusNotifier's NeedsAttention and XEmbed trays have none at
  // all, so the icon itself changes: every host shows its pixels.
  void setAttention(bool attention);

  QMenu* menu() const { return menu_.get(); }
  QSystemTrayIcon* trayIcon() const { return tray_.get(); }  // none until shown

 private:
  void fill(QMenu* into, const std::vector<MenuItem>& items);
  void update(QMenu* into, const std::vector<MenuItem>& items);
  void describe(QAction* action, const MenuItem& item);

  Forward forward_;
  std::function<bool()> hostAvailable_;
  QString toolTip_;
  bool attention_ = false;
  QTimer poll_;
  std::unique_ptr<QSystemTrayIcon> tray_;
  std::unique_ptr<QMenu> menu_;
  std::vector<MenuItem> shown_;
};

}  // namespace kelvoma::app::qt
