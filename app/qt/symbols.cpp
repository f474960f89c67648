#include "symbols.h"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>
#include <algorithm>

namespace kelvoma::app::qt {
namespace {

// Only plain symbol names map to resources; anything else is unknown.
QString resourceOf(const std::string& name) {
  const bool plain = !name.empty() && std::ranges::all_of(name, [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.';
  });
  return plain ? QStringLiteral(":/symbols/%1.svg").arg(QString::fromStdString(name)) : QString();
}

QByteArray tintedSvg(const QString& resource, const QColor& colour) {
  QFile file(resource);
  if (resource.isEmpty() || !file.open(QIODevice::ReadOnly)) {
    return {};
  }
  QByteArray svg = file.readAll();
  svg.replace("currentColor", colour.name(QColor::HexRgb).toLatin1());
  return svg;
}

}  // namespace

bool hasSymbol(const std::string& name) {
  const QString resource = resourceOf(name);
  return !resource.isEmpty() && QFile::exists(resource);
}

QPixmap symbolPixmap(const std::string& name, int size, const QColor& colour,
                     qreal devicePixelRatio) {
  const QByteArray svg = tintedSvg(resourceOf(name), colour);
  if (svg.isEmpty()) {
    return {};
  }
  QSvgRenderer renderer(svg);
  if (!renderer.isValid()) {
    return {};
  }
  const int pixels = std::max(1, qRound(size * devicePixelRatio));
  QPixmap pixmap(pixels, pixels);
  pixmap.fill(Qt::transparent);
  {
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, pixels, pixels));
  }
  pixmap.setDevicePixelRatio(devicePixelRatio);
  return pixmap;
}

QIcon symbolIcon(const std::string& name, const QColor& colour) {
  QIcon icon;
  for (const int size : {16, 18, 22, 24, 32, 48, 64}) {
    const QPixmap pixmap = symbolPixmap(name, size, colour);
    if (pixmap.isNull()) {
      return {};
    }
    icon.addPixmap(pixmap);
  }
  return icon;
}

}  // namespace kelvoma::app::qt
