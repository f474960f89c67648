#include "window_controls.h"

#include <QCheckBox>
#include <QProgressBar>
#include <QPushButton>

#include "symbols.h"
#include "window_widgets.h"

namespace kelvoma::app::qt {
namespace {

QFont fontOf(const Font& font, const QFont& base) {
  QFont made = base;
  if (font.size > 0) {
    made.setPixelSize(qRound(font.size));
  }
  made.setWeight(font.weight == FontWeight::semibold ? QFont::DemiBold : QFont::Normal);
  // The shipped sans faces have tabular digits already, so version numbers line up.
  return made;
}

}  // namespace

// Origin at the parent's top-left, as Qt has it.
QRect flipped(const Frame& frame, double parentHeight) {
  return QRect(qRound(frame.x), qRound(parentHeight - frame.y - frame.height), qRound(frame.width),
               qRound(frame.height));
}

void setForeground(QWidget* widget, const QColor& colour) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, colour);
  palette.setColor(QPalette::Text, colour);
  widget->setPalette(palette);
}

QWidget* makeLabel(const ControlModel& model, QWidget* parent) {
  QLabel* label = model.maximumLines == 1 ? new OneLineLabel(parent) : new QLabel(parent);
  label->setText(QString::fromStdString(model.text));
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(model.maximumLines != 1);
  const Qt::Alignment horizontal =
      model.alignment == Alignment::right ? Qt::AlignRight : Qt::AlignLeft;
  label->setAlignment(horizontal | Qt::AlignTop);
  label->setFont(fontOf(model.font, label->font()));
  setForeground(label, colourOf(model.colour, label->palette()));
  return label;
}

QWidget* makeImage(const ControlModel& model, QWidget* parent) {
  auto* image = new QLabel(parent);
  image->setAlignment(Qt::AlignCenter);
  image->setPixmap(symbolPixmap(model.symbol, qRound(model.frame.width),
                                colourOf(Colour::label, image->palette()),
                                image->devicePixelRatioF()));
  return image;
}

QAbstractButton* makeButton(const ControlModel& model, QWidget* parent) {
  QAbstractButton* button = model.kind == ControlKind::checkbox
                                ? static_cast<QAbstractButton*>(new QCheckBox(parent))
                                : new QPushButton(parent);
  button->setText(QString::fromStdString(model.text));
  return button;
}

QProgressBar* makeProgressBar(QWidget* parent) {
  auto* bar = new QProgressBar(parent);
  bar->setTextVisible(false);  // its text is the tool tip and the accessible value
  bar->setRange(0, 0);
  return bar;
}

}  // namespace kelvoma::app::qt
