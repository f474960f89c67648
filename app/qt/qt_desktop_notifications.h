// The desktop notifications part of the Qt platform: notices through the
// freedesktop notification service (org.freedesktop.Notifications) on the
// session bus. Every call is asynchronous; without a service, or with one
// that fails or never answers, notices are simply not seen.
#pragma once

#include <QDBusMessage>
#include <QObject>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "platform.h"

namespace kelvoma::app::qt {

// Receives the service's signals for QtDesktopNotifications (which cannot be
// a QObject itself: QtPlatform has one QObject base already).
class NotificationSignals : public QObject {
  Q_OBJECT

 public:
  std::function<void(std::uint32_t id, const std::string& action)> invoked;
  std::function<void(std::uint32_t id)> closed;

 public slots:
  void onActionInvoked(const QDBusMessage& message);
  void onNotificationClosed(const QDBusMessage& message);
};

class QtDesktopNotifications : public DesktopNotifications {
 public:
  QtDesktopNotifications();
  ~QtDesktopNotifications() override;

  void notify(const DesktopNotice& notice,
              std::function<void(const std::string& action)> onAction) override;
  void withdraw(const std::string& topic) override;

 private:
  void listen();
  void invoked(std::uint32_t id, const std::string& action);
  void closed(std::uint32_t id);
  void close(std::uint32_t id);
  void shown(const std::string& topic, std::uint32_t id,
             std::function<void(const std::string&)> onAction);

  NotificationSignals signals_;
  bool listening_ = false;
  std::map<std::string, std::uint32_t> topicIds_;  // the service's id of each topic's notice
  // Notify calls are numbered; a topic withdrawn after call N takes back a
  // notice of call N or earlier whose id comes only later.
  std::uint64_t calls_ = 0;
  std::map<std::string, std::uint64_t> withdrawnUpTo_;
  std::map<std::uint32_t, std::function<void(const std::string&)>> actions_;
};

}  // namespace kelvoma::app::qt
