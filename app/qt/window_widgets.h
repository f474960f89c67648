// The widgets the manager window is drawn with beside Qt's own, and the
// platform's named colours.
#pragma once

#include <QColor>
#include <QLabel>
#include <QWidget>

#include "ui_model.h"

class QProgressBar;

namespace kelvoma::app::qt {

// The platform's named colours, taken from the palette where it has them.
QColor colourOf(Colour colour, const QPalette& palette);

// A label that keeps to one line and ends an overlong text with "…".
class OneLineLabel : public QLabel {
 public:
  using QLabel::QLabel;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// The row's rounded frame.
class RowBox : public QWidget {
 public:
  RowBox(double cornerRadius, QColor border, QColor fill, QWidget* parent);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  double cornerRadius_;
  QColor border_;
  QColor fill_;
};

// The row box a control lies in, or nullptr.
RowBox* rowBoxOf(QWidget* widget);

// A determinate bar in thousandths, or Qt's busy bar (range 0 to 0); the
// text is what the bar's accessible value reads. Only what changed is set.
void setProgressValue(QProgressBar& bar, const ProgressValue& value);

}  // namespace kelvoma::app::qt
