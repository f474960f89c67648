// The notifications part of the Qt platform: signals on the session bus
// between processes.
#pragma once

#include <QDBusMessage>
#include <QObject>
#include <functional>
#include <map>
#include <string>

#include "platform.h"

namespace kelvoma::app::qt {

class QtNotifications : public QObject, public Notifications {
  Q_OBJECT

 public:
  QtNotifications() = default;
  ~QtNotifications() override;

  void observeNotification(const std::string& name, std::function<void()> handler) override;
  void removeNotificationObservers() override;
  void postNotification(const std::string& name, const std::string& object) override;

 private slots:
  void onBusSignal(const QDBusMessage& message);

 private:
  bool listening_ = false;
  std::map<std::string, std::function<void()>> observers_;
};

}  // namespace kelvoma::app::qt
