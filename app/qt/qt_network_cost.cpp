#include "qt_network_cost.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDBusVariant>

namespace kelvoma::app::qt {
namespace {

// NetworkManager's NMMetered values that mean "metered".
constexpr unsigned kMeteredYes = 1;
constexpr unsigned kMeteredGuessYes = 3;

}  // namespace

QtNetworkCost::QtNetworkCost(std::string service) : service_(std::move(service)) {}

bool QtNetworkCost::metered() {
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected()) {
    return false;
  }
  QDBusInterface properties(QString::fromStdString(service_),
                            QStringLiteral("/org/freedesktop/NetworkManager"),
                            QStringLiteral("org.freedesktop.DBus.Properties"), bus);
  properties.setTimeout(2000);
  const QDBusReply<QDBusVariant> reply =
      properties.call(QStringLiteral("Get"), QStringLiteral("org.freedesktop.NetworkManager"),
                      QStringLiteral("Metered"));
  if (!reply.isValid()) {
    return false;
  }
  bool read = false;
  const unsigned value = reply.value().variant().toUInt(&read);
  return read && (value == kMeteredYes || value == kMeteredGuessYes);
}

}  // namespace kelvoma::app::qt
