#include "reopen_channel.h"

#include <QDBusMessage>
#include <cstdlib>

#include "bus_names.h"

namespace kelvoma::app::qt {
namespace {

constexpr const char* kApplicationInterface = "org.freedesktop.Application";
constexpr int kAnswerTimeoutMs = 5000;

QString fromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return QString::fromUtf8(value != nullptr ? value : "");
}

}  // namespace

ReopenChannel::ReopenChannel(std::function<void(const std::string& token)> reopen)
    : reopen_(std::move(reopen)) {
  new ApplicationInterface(*this);  // owned by this object, as Qt's adaptors are
}

bool ReopenChannel::claim(QDBusConnection& bus) {
  bus.registerObject(kBusPath, this, QDBusConnection::ExportAdaptors);
  if (bus.registerService(kBusName)) {
    return true;
  }
  bus.unregisterObject(kBusPath);
  return false;
}

void ReopenChannel::reopen(const QVariantMap& platformData) const {
  const QString token = platformData.value(QStringLiteral("activation-token")).toString();
  reopen_(token.toStdString());
}

bool askRunningInstance(QDBusConnection& bus) {
  QVariantMap platformData;
  // Wayland's token and X11's startup id of this start, for the window the
  // running instance raises.
  if (const QString token = fromEnvironment("XDG_ACTIVATION_TOKEN"); !token.isEmpty()) {
    platformData.insert(QStringLiteral("activation-token"), token);
  }
  if (const QString id = fromEnvironment("DESKTOP_STARTUP_ID"); !id.isEmpty()) {
    platformData.insert(QStringLiteral("desktop-startup-id"), id);
  }
  QDBusMessage call =
      QDBusMessage::createMethodCall(kBusName, kBusPath, kApplicationInterface, "Activate");
  call << platformData;
  return bus.call(call, QDBus::Block, kAnswerTimeoutMs).type() == QDBusMessage::ReplyMessage;
}

ApplicationInterface::ApplicationInterface(ReopenChannel& channel)
    : QDBusAbstractAdaptor(&channel), channel_(channel) {}

void ApplicationInterface::Activate(const QVariantMap& platformData) {
  channel_.reopen(platformData);
}

void ApplicationInterface::Open(const QStringList& /*uris*/, const QVariantMap& platformData) {
  channel_.reopen(platformData);
}

void ApplicationInterface::ActivateAction(const QString& /*name*/,
                                          const QVariantList& /*parameter*/,
                                          const QVariantMap& /*platformData*/) {}

}  // namespace kelvoma::app::qt
