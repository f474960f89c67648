#include "status_tray.h"

#include <QAction>
#include <QCursor>
#include <QMenu>
#include <QSystemTrayIcon>
#include <chrono>

#include "app_icons.h"

namespace kelvoma::app::qt {
namespace {

// Two menus have one shape when they differ at most in titles, actions,
// represented objects and enabled states.
bool sameShape(const std::vector<MenuItem>& a, const std::vector<MenuItem>& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].separator != b[i].separator || a[i].submenu.has_value() != b[i].submenu.has_value()) {
      return false;
    }
    if (a[i].submenu && !sameShape(*a[i].submenu, *b[i].submenu)) {
      return false;
    }
  }
  return true;
}

constexpr auto kHostPoll = std::chrono::seconds(3);

}  // namespace

// The model's symbol stands for the product; on this desktop that is
// Kelvoma's own tray icon, drawn from the same glyph.
StatusTray::StatusTray(const StatusItemModel& model, Forward forward,
                       std::function<bool()> hostAvailable)
    : forward_(std::move(forward)),
      hostAvailable_(std::move(hostAvailable)),
      toolTip_(QString::fromStdString(model.toolTip)) {
  connect(&poll_, &QTimer::timeout, this, [this] { lookForHost(); });
  lookForHost();
  if (!shown()) {
    poll_.start(kHostPoll);
  }
}

StatusTray::~StatusTray() = default;

void StatusTray::lookForHost() {
  if (shown() || !hostAvailable_()) {
    return;
  }
  poll_.stop();
  tray_ = std::make_unique<QSystemTrayIcon>(attention_ ? attentionItemIcon() : statusItemIcon());
  tray_->setToolTip(toolTip_);
  // The item has no action of its own: any click opens its menu.
  connect(tray_.get(), &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (menu_ && reason == QSystemTrayIcon::Trigger) {
              menu_->popup(QCursor::pos());
            }
          });
  if (menu_) {
    tray_->setContextMenu(menu_.get());
  }
  tray_->setVisible(true);
}

void StatusTray::describe(QAction* action, const MenuItem& item) {
  if (action->text() != QString::fromStdString(item.title)) {
    action->setText(QString::fromStdString(item.title));
  }
  if (action->isEnabled() != item.enabled) {
    action->setEnabled(item.enabled);
  }
  const QVariantList data{item.action ? static_cast<int>(*item.action) : -1,
                          QString::fromStdString(item.representedObject)};
  if (action->data().toList() != data) {
    action->setData(data);
  }
}

void StatusTray::fill(QMenu* into, const std::vector<MenuItem>& items) {
  for (const MenuItem& item : items) {
    if (item.separator) {
      into->addSeparator();
      continue;
    }
    QAction* action = nullptr;
    if (item.submenu) {
      QMenu* submenu = into->addMenu(QString::fromStdString(item.title));
      fill(submenu, *item.submenu);
      action = submenu->menuAction();
    } else {
      action = into->addAction(QString::fromStdString(item.title));
      connect(action, &QAction::triggered, this, [this, action] {
        const QVariantList data = action->data().toList();
        if (data.size() != 2 || data[0].toInt() < 0) {
          return;
        }
        forward_(static_cast<Action>(data[0].toInt()),
                 Sender{.kind = Sender::Kind::menuItem,
                        .representedObject = data[1].toString().toStdString(),
                        .identifier = {},
                        .on = false});
      });
    }
    describe(action, item);
  }
}

void StatusTray::update(QMenu* into, const std::vector<MenuItem>& items) {
  const QList<QAction*> actions = into->actions();
  for (qsizetype i = 0; i < actions.size(); ++i) {
    const MenuItem& item = items[static_cast<std::size_t>(i)];
    if (item.separator) {
      continue;
    }
    describe(actions[i], item);
    if (item.submenu) {
      update(actions[i]->menu(), *item.submenu);
    }
  }
}

void StatusTray::setToolTip(const QString& toolTip) {
  if (toolTip == toolTip_) {
    return;
  }
  toolTip_ = toolTip;
  if (tray_) {
    tray_->setToolTip(toolTip_);
  }
}

void StatusTray::setAttention(bool attention) {
  if (attention == attention_) {
    return;
  }
  attention_ = attention;
  if (tray_) {
    tray_->setIcon(attention_ ? attentionItemIcon() : statusItemIcon());
  }
}

void StatusTray::setMenu(const Menu& menu) {
  if (menu_ && sameShape(shown_, menu.items)) {
    update(menu_.get(), menu.items);
  } else {
    auto fresh = std::make_unique<QMenu>();
    fill(fresh.get(), menu.items);
    if (tray_) {
      tray_->setContextMenu(fresh.get());
    }
    if (menu_) {
      menu_.release()->deleteLater();  // it may be the one being shown right now
    }
    menu_ = std::move(fresh);
  }
  shown_ = menu.items;
}

}  // namespace kelvoma::app::qt
