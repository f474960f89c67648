// The desktop notifications part of the Qt platform: notices through the
// freedesktop notification service (org.freedesktop.Notifications) on the
// session bus. Every call is asynchronous; without a service, or with one
// that fails or never answers, notices are simply not seen.
#pragma once

#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QObject>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
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

  // The body goes as markup, its "&", "<" and ">" escaped, unless the
  // service has said that it does not read markup there (body-markup in
  // GetCapabilities, asked once); the summary is plain text by definition.
  void notify(const DesktopNotice& notice,
              std::function<void(const std::string& action)> onAction) override;
  void withdraw(const std::string& topic) override;

 private:
  // A topic's notice on the desktop: the Notify call that posted it and the
  // service's id for it.
  struct Shown {
    std::uint64_t call = 0;
    std::uint32_t id = 0;
  };

  void listen();
  void askCapabilities();
  void answered(const std::string& topic, std::uint64_t call, std::uint32_t id,
                std::function<void(const std::string&)> onAction);
  void invoked(std::uint32_t id, const std::string& action);
  void closed(std::uint32_t id);
  void close(std::uint32_t id);

  NotificationSignals signals_;
  std::unique_ptr<QDBusServiceWatcher> serviceOwner_;
  bool askingCapabilities_ = false;
  std::optional<bool> bodyMarkup_;  // unknown until the service answers
  std::map<std::string, Shown> shown_;
  // Notify calls are numbered; a topic withdrawn after call N takes back a
  // notice of call N or earlier whose id comes only later.
  std::uint64_t calls_ = 0;
  std::map<std::string, std::uint64_t> withdrawnUpTo_;
  std::map<std::uint32_t, std::function<void(const std::string&)>> actions_;
};

}  // namespace kelvoma::app::qt
