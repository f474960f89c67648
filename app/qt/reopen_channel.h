// The one way a second start reaches the running instance: a method call of
// org.freedesktop.Application on the instance's own bus name, which only the
// name's owner receives (a signal would go to every client that listens).
// The platform data carries the activation token of the second start.
#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QObject>
#include <QVariantMap>
#include <functional>
#include <string>

namespace kelvoma::app::qt {

// The object the running instance exports at its path.
class ReopenChannel : public QObject {
  Q_OBJECT

 public:
  // reopen: what a second start asks for, with its activation token (empty
  // without one).
  explicit ReopenChannel(std::function<void(const std::string& token)> reopen);

  // Exports the object and then claims the name, so that no call finds the
  // name without the object. False when another process holds the name.
  bool claim(QDBusConnection& bus);

  void reopen(const QVariantMap& platformData) const;

 private:
  std::function<void(const std::string& token)> reopen_;
};

// Asks the holder of the name to reopen, with this start's token taken from
// the environment it was started with; waits for the answer so that the
// request is delivered before this process ends. Whether it was answered.
bool askRunningInstance(QDBusConnection& bus);

// org.freedesktop.Application as the running instance answers it.
class ApplicationInterface : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

 public:
  explicit ApplicationInterface(ReopenChannel& channel);

 public slots:
  void Activate(const QVariantMap& platformData);
  // Kelvoma opens no files: a request to open some shows its window.
  void Open(const QStringList& uris, const QVariantMap& platformData);
  // Kelvoma offers no actions.
  void ActivateAction(const QString& name, const QVariantList& parameter,
                      const QVariantMap& platformData);

 private:
  ReopenChannel& channel_;
};

}  // namespace kelvoma::app::qt
