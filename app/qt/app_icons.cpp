#include "app_icons.h"

#include <QIconEngine>
#include <QPainter>
#include <QSvgRenderer>

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

QIcon applicationIcon() {
  return QIcon::fromTheme(QString::fromLatin1(kApplicationIconName),
                          QIcon(QStringLiteral(":/app/cz.tobranix.Kelvoma.svg")));
}

}  // namespace kelvoma::app::qt
