#include "app_icons.h"

#include <QIconEngine>
#include <QPainter>
#include <QSvgRenderer>
#include <algorithm>

namespace kelvoma::app::qt {
namespace {

// Draws one icon and answers to another's name: what a StatusNotifier item
// needs to send both a theme name and pixels of its own.
class NamedIconEngine final : public QIconEngine {
 public:
  NamedIconEngine(QIcon pixels, QString name)
      : pixels_(std::move(pixels)), name_(std::move(name)) {}

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
    pixels_.paint(painter, rect, Qt::AlignCenter, mode, state);
  }
  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    return pixels_.pixmap(size, mode, state);
  }
  QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override {
    return pixels_.availableSizes(mode, state);
  }
  QIconEngine* clone() const override { return new NamedIconEngine(pixels_, name_); }
  QString key() const override { return QStringLiteral("NamedIconEngine"); }
  QString iconName() override { return name_; }

 private:
  QIcon pixels_;
  QString name_;
};

// Draws the tray's pixels with a mark over their lower right corner: an orange
// dot ringed in white, which stands out on dark and light panels alike.
class MarkedIconEngine final : public QIconEngine {
 public:
  explicit MarkedIconEngine(QIcon pixels) : pixels_(std::move(pixels)) {}

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
    pixels_.paint(painter, rect, Qt::AlignCenter, mode, state);
    const qreal side = std::min(rect.width(), rect.height());
    const qreal diameter = std::max<qreal>(5, side * 0.45);
    const qreal ring = std::max<qreal>(1, side / 16);
    const QRectF dot(rect.right() + 1 - diameter, rect.bottom() + 1 - diameter, diameter, diameter);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(QPen(Qt::white, ring));
    painter->setBrush(QColor(0xf0, 0x6a, 0x0c));
    painter->drawEllipse(dot.adjusted(ring / 2, ring / 2, -ring / 2, -ring / 2));
    painter->restore();
  }
  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    paint(&painter, QRect(QPoint(0, 0), size), mode, state);
    return pixmap;
  }
  QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override {
    return pixels_.availableSizes(mode, state);
  }
  QIconEngine* clone() const override { return new MarkedIconEngine(pixels_); }
  QString key() const override { return QStringLiteral("MarkedIconEngine"); }

 private:
  QIcon pixels_;
};

QIcon trayPixels() {
  QSvgRenderer renderer(QStringLiteral(":/app/tray.svg"));
  QIcon icon;
  // The usual panel sizes, so that no size is scaled from another.
  for (const int size : {16, 22, 24, 32, 48}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, size, size));
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

}  // namespace

QIcon statusItemIcon() {
  const QString name = QString::fromLatin1(kTrayIconName);
  if (QIcon::fromTheme(name).isNull()) {
    return trayPixels();  // a name the desktop cannot find would only hide the pixels
  }
  return QIcon(new NamedIconEngine(trayPixels(), name));
}

QIcon attentionItemIcon() { return QIcon(new MarkedIconEngine(trayPixels())); }

QIcon applicationIcon() {
  return QIcon::fromTheme(QString::fromLatin1(kApplicationIconName),
                          QIcon(QStringLiteral(":/app/cz.tobranix.Kelvoma.svg")));
}

}  // namespace kelvoma::app::qt
