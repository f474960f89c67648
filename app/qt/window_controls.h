// The manager window's single controls made from their models: labels,
// images, buttons and progress bars, with the frame flip that places them.
// Boxes and scroll views, which hold other controls, are built by the window.
#pragma once

#include <QColor>
#include <QRect>

#include "ui_model.h"

class QAbstractButton;
class QProgressBar;
class QWidget;

namespace kelvoma::app::qt {

// A frame given from the parent's bottom-left corner, in Qt's coordinates
// (origin at the parent's top-left).
QRect flipped(const Frame& frame, double parentHeight);

// Text in that colour, for labels and buttons alike.
void setForeground(QWidget* widget, const QColor& colour);

// Plain text, never markup; one line ends in "…" where it does not fit.
QWidget* makeLabel(const ControlModel& model, QWidget* parent);
// The model's symbol in the label colour; empty for an unknown symbol.
QWidget* makeImage(const ControlModel& model, QWidget* parent);
// A check box or a push button with the model's text.
QAbstractButton* makeButton(const ControlModel& model, QWidget* parent);
// A busy bar until it is given a value.
QProgressBar* makeProgressBar(QWidget* parent);

}  // namespace kelvoma::app::qt
