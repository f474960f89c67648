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

// The body as markup that reads as the text itself.
QString escapedMarkup(const QString& text) {
  QString escaped = text;
  escaped.replace(u'&', QStringLiteral("&amp;"));
  escaped.replace(u'<', QStringLiteral("&lt;"));
  escaped.replace(u'>', QStringLiteral("&gt;"));
  return escaped;
}

}  // namespace

QtDesktopNotifications::QtDesktopNotifications() {
  signals_.invoked = [this](std::uint32_t id, const std::string& action) { invoked(id, action); };
  signals_.closed = [this](std::uint32_t id) { closed(id); };
}

QtDesktopNotifications::~QtDesktopNotifications() = default;

void QtDesktopNotifications::listen() {
  if (serviceOwner_) {
    return;
  }
  QDBusConnection bus = QDBusConnection::sessionBus();
  bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), &signals_,
              SLOT(onActionInvoked(QDBusMessage)));
  bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), &signals_,
              SLOT(onNotificationClosed(QDBusMessage)));
  // Another service (or the same one started again) knows nothing of the
  // earlier ids: closing or replacing one could hit another program's notice.
  serviceOwner_ = std::make_unique<QDBusServiceWatcher>(kService, bus,
                                                        QDBusServiceWatcher::WatchForOwnerChange);
  QObject::connect(serviceOwner_.get(), &QDBusServiceWatcher::serviceOwnerChanged, &signals_,
                   [this] {
                     bodyMarkup_.reset();
                     shown_.clear();
                     actions_.clear();
                   });
}

void QtDesktopNotifications::askCapabilities() {
  if (bodyMarkup_.has_value() || askingCapabilities_) {
    return;
  }
  askingCapabilities_ = true;
  const QDBusMessage call =
      QDBusMessage::createMethodCall(kService, kPath, kInterface, "GetCapabilities");
  auto* watcher = new QDBusPendingCallWatcher(
      QDBusConnection::sessionBus().asyncCall(call, kReplyTimeoutMs), &signals_);
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &signals_,
                   [this](QDBusPendingCallWatcher* finished) {
                     const QDBusPendingReply<QStringList> reply = *finished;
                     finished->deleteLater();
                     askingCapabilities_ = false;
                     // Without an answer the next notice asks again.
                     if (!reply.isError()) {
                       bodyMarkup_ = reply.value().contains(QStringLiteral("body-markup"));
                     }
                   });
}

void QtDesktopNotifications::notify(const DesktopNotice& notice,
                                    std::function<void(const std::string& action)> onAction) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    return;
  }
  listen();
  askCapabilities();
  const std::uint64_t number = ++calls_;
  const auto earlier = shown_.find(notice.topic);
  const std::uint32_t replaces = earlier == shown_.end() ? 0 : earlier->second.id;
  const QString body = QString::fromStdString(notice.body);
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Notify");
  call << QStringLiteral("Kelvoma") << replaces << QString::fromUtf8(kApplicationIconName)
       << QString::fromStdString(notice.summary)
       << (bodyMarkup_.value_or(true) ? escapedMarkup(body) : body) << actionList(notice)
       << QVariantMap{{QStringLiteral("desktop-entry"), QString::fromUtf8(kDesktopEntry)}}
       << kServerDecidesTimeout;
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kReplyTimeoutMs), &signals_);
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &signals_,
                   [this, number, topic = notice.topic,
                    onAction = std::move(onAction)](QDBusPendingCallWatcher* finished) mutable {
                     const QDBusPendingReply<std::uint32_t> reply = *finished;
                     finished->deleteLater();
                     if (!reply.isError()) {
                       answered(topic, number, reply.value(), std::move(onAction));
                     }
                   });
}

// Replies may come in any order: of a topic's notices only the one of the
// latest call stays, and none posted before the topic was withdrawn.
void QtDesktopNotifications::answered(const std::string& topic, std::uint64_t call,
                                      std::uint32_t id,
                                      std::function<void(const std::string&)> onAction) {
  const auto after = withdrawnUpTo_.find(topic);
  const bool withdrawn = after != withdrawnUpTo_.end() && after->second >= call;
  const auto current = shown_.find(topic);
  if (withdrawn || (current != shown_.end() && current->second.call > call)) {
    if (current == shown_.end() || current->second.id != id) {
      close(id);
    }
    return;
  }
  if (current != shown_.end() && current->second.id != id) {
    // A service that did not replace the earlier notice: it no longer holds.
    actions_.erase(current->second.id);
    close(current->second.id);
  }
  shown_[topic] = Shown{.call = call, .id = id};
  actions_[id] = std::move(onAction);
}

void QtDesktopNotifications::withdraw(const std::string& topic) {
  withdrawnUpTo_[topic] = calls_;
  const auto shownNow = shown_.find(topic);
  if (shownNow == shown_.end()) {
    return;
  }
  const std::uint32_t id = shownNow->second.id;
  shown_.erase(shownNow);
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
  std::erase_if(shown_, [id](const auto& each) { return each.second.id == id; });
}

}  // namespace kelvoma::app::qt
