#include "qt_network_cost.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

namespace kelvoma::app::qt {
namespace {

// NetworkManager's NMMetered values that mean "metered".
constexpr unsigned kMeteredYes = 1;
constexpr unsigned kMeteredGuessYes = 3;
// NetworkManager answers in milliseconds; one that does not is as good as none.
constexpr int kReplyTimeoutMs = 2000;
// The connection's cost changes rarely; the controller asks every second.
constexpr qint64 kAskAgainAfterMs = 5000;

}  // namespace

// The first question goes out at once, so that its answer is in before the
// first check can lead to an automatic installation.
QtNetworkCost::QtNetworkCost(std::string service) : service_(std::move(service)) { ask(); }

QtNetworkCost::~QtNetworkCost() = default;

bool QtNetworkCost::metered() {
  if (!asking_ && (!asked_.isValid() || asked_.hasExpired(kAskAgainAfterMs))) {
    ask();
  }
  return metered_;
}

void QtNetworkCost::ask() {
  QDBusConnection bus = QDBusConnection::systemBus();
  asked_.start();
  if (!bus.isConnected()) {
    metered_ = false;
    return;
  }
  QDBusMessage get = QDBusMessage::createMethodCall(
      QString::fromStdString(service_), QStringLiteral("/org/freedesktop/NetworkManager"),
      QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
  get << QStringLiteral("org.freedesktop.NetworkManager") << QStringLiteral("Metered");
  asking_ = true;
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(get, kReplyTimeoutMs), &replies_);
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &replies_,
                   [this](QDBusPendingCallWatcher* finished) {
                     const QDBusPendingReply<QDBusVariant> reply = *finished;
                     finished->deleteLater();
                     asking_ = false;
                     bool read = false;
                     const unsigned value =
                         reply.isError() ? 0 : reply.value().variant().toUInt(&read);
                     metered_ = read && (value == kMeteredYes || value == kMeteredGuessYes);
                   });
}

}  // namespace kelvoma::app::qt
