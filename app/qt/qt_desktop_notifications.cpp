#include "qt_desktop_notifications.h"

#include <QDBusConnection>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

#include "app_icons.h"

namespace kelvoma::app::qt {
namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
constexpr const char* kDesktopEntry = "cz.tobranix.Kelvoma";
constexpr const char* kOpenLabel = "Otevřít správce";
constexpr int kServerDecidesTimeout = -1;
// A service that never answers must not collect replies forever.
constexpr int kReplyTimeoutMs = 10000;

QStringList actionList(const DesktopNotice& notice) {
  QStringList list{QStringLiteral("default"), QString::fromUtf8(kOpenLabel)};
  for (const auto& action : notice.actions) {
    list << QString::fromStdString(action.key) << QString::fromStdString(action.label);
  }
  return list;
}

}  // namespace

QtDesktopNotifications::QtDesktopNotifications() {
  signals_.invoked = [this](std::uint32_t id, const std::string& action) { invoked(id, action); };
  signals_.closed = [this](std::uint32_t id) { closed(id); };
}

QtDesktopNotifications::~QtDesktopNotifications() = default;

void QtDesktopNotifications::listen() {
  if (listening_) {
    return;
  }
  listening_ = true;
  QDBusConnection bus = QDBusConnection::sessionBus();
  bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), &signals_,
              SLOT(onActionInvoked(QDBusMessage)));
  bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), &signals_,
              SLOT(onNotificationClosed(QDBusMessage)));
}

void QtDesktopNotifications::notify(const DesktopNotice& notice,
                                    std::function<void(const std::string& action)> onAction) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    return;
  }
  listen();
  const std::uint64_t number = ++calls_;
  const auto earlier = topicIds_.find(notice.topic);
  const std::uint32_t replaces = earlier == topicIds_.end() ? 0 : earlier->second;
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Notify");
  call << QStringLiteral("Kelvoma") << replaces << QString::fromUtf8(kApplicationIconName)
       << QString::fromStdString(notice.summary) << QString::fromStdString(notice.body)
       << actionList(notice)
       << QVariantMap{{QStringLiteral("desktop-entry"), QString::fromUtf8(kDesktopEntry)}}
       << kServerDecidesTimeout;
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kReplyTimeoutMs), &signals_);
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &signals_,
                   [this, number, topic = notice.topic,
                    onAction = std::move(onAction)](QDBusPendingCallWatcher* finished) mutable {
                     const QDBusPendingReply<std::uint32_t> reply = *finished;
                     finished->deleteLater();
                     const auto after = withdrawnUpTo_.find(topic);
                     const bool withdrawn =
                         after != withdrawnUpTo_.end() && after->second >= number;
                     if (!reply.isError() && withdrawn) {
                       close(reply.value());
                     } else if (!reply.isError()) {
                       shown(topic, reply.value(), std::move(onAction));
                     }
                   });
}

void QtDesktopNotifications::shown(const std::string& topic, std::uint32_t id,
                                   std::function<void(const std::string&)> onAction) {
  const auto earlier = topicIds_.find(topic);
  if (earlier != topicIds_.end() && earlier->second != id) {
    actions_.erase(earlier->second);
  }
  topicIds_[topic] = id;
  actions_[id] = std::move(onAction);
}

void QtDesktopNotifications::withdraw(const std::string& topic) {
  withdrawnUpTo_[topic] = calls_;
  const auto shownNow = topicIds_.find(topic);
  if (shownNow == topicIds_.end()) {
    return;
  }
  const std::uint32_t id = shownNow->second;
  topicIds_.erase(shownNow);
  actions_.erase(id);
  close(id);
}

void QtDesktopNotifications::close(std::uint32_t id) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    return;
  }
  QDBusMessage call =
      QDBusMessage::createMethodCall(kService, kPath, kInterface, "CloseNotification");
  call << id;
  bus.asyncCall(call, kReplyTimeoutMs);
}

void NotificationSignals::onActionInvoked(const QDBusMessage& message) {
  const auto arguments = message.arguments();
  if (arguments.size() >= 2 && invoked) {
    invoked(arguments[0].toUInt(), arguments[1].toString().toStdString());
  }
}

void NotificationSignals::onNotificationClosed(const QDBusMessage& message) {
  const auto arguments = message.arguments();
  if (!arguments.isEmpty() && closed) {
    closed(arguments[0].toUInt());
  }
}

void QtDesktopNotifications::invoked(std::uint32_t id, const std::string& action) {
  const auto found = actions_.find(id);
  if (found != actions_.end() && found->second) {
    const auto handler = found->second;  // the handler may post a new notice
    handler(action);
  }
}

void QtDesktopNotifications::closed(std::uint32_t id) {
  actions_.erase(id);
  std::erase_if(topicIds_, [id](const auto& each) { return each.second == id; });
}

}  // namespace kelvoma::app::qt
