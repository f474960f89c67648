#include "qt_notifications.h"

#include <QDBusConnection>

#include "bus_names.h"

namespace kelvoma::app::qt {

QtNotifications::~QtNotifications() { removeNotificationObservers(); }

void QtNotifications::observeNotification(const std::string& name, std::function<void()> handler) {
  const bool first = observers_.empty();
  observers_[name] = std::move(handler);
  QDBusConnection bus = QDBusConnection::sessionBus();
  // Without a session bus the application runs on; nobody can reach it then.
  if (bus.isConnected() && first) {
    bus.connect(QString(), QString(), kBusInterface, QString(), this,
                SLOT(onBusSignal(QDBusMessage)));
  }
}

void QtNotifications::removeNotificationObservers() {
  if (observers_.empty()) {
    return;
  }
  observers_.clear();
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (bus.isConnected()) {
    bus.disconnect(QString(), QString(), kBusInterface, QString(), this,
                   SLOT(onBusSignal(QDBusMessage)));
  }
}

void QtNotifications::onBusSignal(const QDBusMessage& message) {
  if (message.type() != QDBusMessage::SignalMessage) {
    return;
  }
  const auto found = observers_.find(message.member().toStdString());
  if (found != observers_.end()) {
    const auto handler = found->second;  // the handler may change the observers
    handler();
  }
}

void QtNotifications::postNotification(const std::string& name, const std::string& object) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    return;
  }
  QDBusMessage signal =
      QDBusMessage::createSignal(kBusPath, kBusInterface, QString::fromStdString(name));
  signal << QString::fromStdString(object);
  bus.send(signal);
}

}  // namespace kelvoma::app::qt
