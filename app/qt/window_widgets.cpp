#include "window_widgets.h"

#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QStyle>
#include <algorithm>

namespace kelvoma::app::qt {
namespace {

QColor blend(const QColor& base, const QColor& over, double amount) {
  return QColor::fromRgbF(
      static_cast<float>(base.redF() + (over.redF() - base.redF()) * amount),
      static_cast<float>(base.greenF() + (over.greenF() - base.greenF()) * amount),
      static_cast<float>(base.blueF() + (over.blueF() - base.blueF()) * amount));
}

}  // namespace

QColor colourOf(Colour colour, const QPalette& palette) {
  const QColor text = palette.color(QPalette::WindowText);
  const QColor base = palette.color(QPalette::Base);
  switch (colour) {
    case Colour::label:
      return text;
    case Colour::secondaryLabel:
      return blend(palette.color(QPalette::Window), text, 0.55);
    case Colour::systemGreen:
      return QColor(0x1f, 0x9d, 0x46);
    case Colour::separator:
      return blend(base, text, 0.14);
    case Colour::controlBackground:
      return base;
  }
  return text;
}

void OneLineLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect area = contentsRect();
  const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, area.width());
  style()->drawItemText(&painter, area, static_cast<int>(alignment()), palette(), isEnabled(),
                        shown, foregroundRole());
}

RowBox::RowBox(double cornerRadius, QColor border, QColor fill, QWidget* parent)
    : QWidget(parent), cornerRadius_(cornerRadius), border_(border), fill_(fill) {}

void RowBox::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath path;
  path.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), cornerRadius_, cornerRadius_);
  painter.fillPath(path, fill_);
  painter.setPen(QPen(border_, 1));
  painter.drawPath(path);
}

RowBox* rowBoxOf(QWidget* widget) {
  while (widget != nullptr && dynamic_cast<RowBox*>(widget) == nullptr) {
    widget = widget->parentWidget();
  }
  return static_cast<RowBox*>(widget);
}

void setProgressValue(QProgressBar& bar, const ProgressValue& value) {
  constexpr int kSteps = 1000;
  const int maximum = value.fraction ? kSteps : 0;  // 0 to 0 is Qt's busy bar
  if (bar.maximum() != maximum) {
    bar.setRange(0, maximum);
  }
  const QString text = QString::fromStdString(value.text);
  if (bar.format() != text) {
    bar.setFormat(text);  // what the bar's text and accessible value read
  }
  const int steps = value.fraction ? qRound(std::clamp(*value.fraction, 0.0, 1.0) * kSteps) : 0;
  if (bar.value() != steps) {
    bar.setValue(steps);
  }
}

}  // namespace kelvoma::app::qt
