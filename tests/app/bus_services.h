// The desktop's services as the tests run them on a private session bus:
// a minimal StatusNotifier watcher, a notification service that records what
// it is sent.
#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QVariantMap>
#include <chrono>
#include <functional>
#include <utility>
#include <vector>

namespace kelvoma::app::testing {

// Just enough of org.kde.StatusNotifierWatcher for Qt's tray to register an
// item with it: a host is said to be present, and items are only listed.
class Watcher : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
  Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isStatusNotifierHostRegistered)
  Q_PROPERTY(int ProtocolVersion READ protocolVersion)
  Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredStatusNotifierItems)

 public:
  bool isStatusNotifierHostRegistered() const { return true; }
  int protocolVersion() const { return 0; }
  // May be read from another thread than the watcher's own.
  QStringList registeredStatusNotifierItems() const {
    const QMutexLocker lock(&mutex_);
    return items_;
  }

 public slots:
  // The argument is the item's bus name, or an object path of the caller.
  void RegisterStatusNotifierItem(const QString& service) {
    const QMutexLocker lock(&mutex_);
    items_ << (service.startsWith(u'/') ? message().service() : service);
  }
  void RegisterStatusNotifierHost(const QString&) {}

 private:
  mutable QMutex mutex_;
  QStringList items_;
};

// Just enough of org.freedesktop.Notifications to record every Notify and
// CloseNotification call. With answers off, Notify replies are held back, as
// a hung service's would be, until answerHeld().
class NoticeService : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

 public:
  struct Call {
    QString application, icon, summary, body;
    uint replaces = 0;
    QStringList actions;
    QVariantMap hints;
  };
  std::vector<Call> calls;
  std::vector<uint> closed;  // the ids CloseNotification was given
  bool answers = true;
  bool bodyMarkup = false;  // announced in GetCapabilities

  void answerHeld() {
    for (const auto& [call, id] : held_) {
      QDBusConnection(connection_).send(call.createReply(id));
    }
    held_.clear();
  }

 public slots:
  uint Notify(const QString& application, uint replaces, const QString& icon,
              const QString& summary, const QString& body, const QStringList& actions,
              const QVariantMap& hints, int) {
    calls.push_back({application, icon, summary, body, replaces, actions, hints});
    const uint id = static_cast<uint>(100 + calls.size());
    if (!answers) {
      setDelayedReply(true);
      held_.emplace_back(message(), id);
      connection_ = connection().name();
    }
    return id;
  }
  void CloseNotification(uint id) { closed.push_back(id); }
  QStringList GetCapabilities() {
    return bodyMarkup ? QStringList{"actions", "body", "body-markup"}
                      : QStringList{"actions", "body"};
  }

 private:
  std::vector<std::pair<QDBusMessage, uint>> held_;
  QString connection_;
};

// Waits while answering the bus: the services live on this thread.
bool answeringUntil(std::chrono::milliseconds limit, const std::function<bool()>& condition);

// Every image of a StatusNotifier item's IconPixmap (a(iiay)), one after another.
QByteArray pixelsOf(const QVariant& iconPixmap);

}  // namespace kelvoma::app::testing
