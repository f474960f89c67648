#include "tray_host.h"

#include <xcb/xcb.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QSystemTrayIcon>
#include <cstdlib>

namespace kelvoma::app::qt {
namespace {

constexpr int kBusTimeoutMs = 500;

bool statusNotifierHostRegistered() {
  const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || !bus.interface()->isServiceRegistered(watcher).value()) {
    return false;
  }
  QDBusMessage get = QDBusMessage::createMethodCall(
      watcher, QStringLiteral("/StatusNotifierWatcher"),
      QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
  get << watcher << QStringLiteral("IsStatusNotifierHostRegistered");
  const QDBusMessage reply = bus.call(get, QDBus::Block, kBusTimeoutMs);
  return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
         reply.arguments().front().value<QDBusVariant>().variant().toBool();
}

// The XEmbed tray owns the selection "_NET_SYSTEM_TRAY_S<screen>".
bool xembedTrayRunning() {
  const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  xcb_connection_t* connection = x11 != nullptr ? x11->connection() : nullptr;
  if (connection == nullptr) {
    return false;
  }
  char* host = nullptr;
  int display = 0;
  int screen = 0;
  if (xcb_parse_display(nullptr, &host, &display, &screen) != 0) {
    std::free(host);
  }
  const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(screen);
  xcb_intern_atom_reply_t* atom =
      xcb_intern_atom_reply(connection,
                            xcb_intern_atom(connection, /*only_if_exists=*/1,
                                            static_cast<uint16_t>(name.size()), name.constData()),
                            nullptr);
  const xcb_atom_t selection = atom != nullptr ? atom->atom : xcb_atom_t{XCB_ATOM_NONE};
  std::free(atom);
  if (selection == XCB_ATOM_NONE) {
    return false;
  }
  xcb_get_selection_owner_reply_t* owner = xcb_get_selection_owner_reply(
      connection, xcb_get_selection_owner(connection, selection), nullptr);
  const bool owned = owner != nullptr && owner->owner != XCB_WINDOW_NONE;
  std::free(owner);
  return owned;
}

}  // namespace

bool statusItemHostAvailable() {
  return (statusNotifierHostRegistered() || xembedTrayRunning()) &&
         QSystemTrayIcon::isSystemTrayAvailable();
}

}  // namespace kelvoma::app::qt
