#include "bus_services.h"

#include <QCoreApplication>
#include <QDBusArgument>

namespace kelvoma::app::testing {

bool answeringUntil(std::chrono::milliseconds limit, const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (condition()) {
      return true;
    }
  }
  return condition();
}

QByteArray pixelsOf(const QVariant& iconPixmap) {
  const auto images = qvariant_cast<QDBusArgument>(iconPixmap);
  QByteArray all;
  images.beginArray();
  while (!images.atEnd()) {
    int width = 0;
    int height = 0;
    QByteArray bytes;
    images.beginStructure();
    images >> width >> height >> bytes;
    images.endStructure();
    all += bytes;
  }
  images.endArray();
  return all;
}

}  // namespace kelvoma::app::testing
