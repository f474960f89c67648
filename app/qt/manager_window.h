// The manager window drawn from a WindowModel. Frames come with their origin at
// the parent's bottom-left corner; each is flipped within its parent here.
#pragma once

#include <QColor>
#include <QLabel>
#include <QWidget>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "ui_model.h"

class QScrollArea;

namespace kelvoma::app::qt {

using Forward = std::function<void(Action, const Sender&)>;

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

class ManagerWindow : public QWidget {
 public:
  ManagerWindow(const WindowModel& model, Forward forward);

  QWidget* control(ControlId id) const;
  void setText(ControlId id, const QString& text);
  void setToolTip(ControlId id, const std::optional<QString>& text);
  void setTextColour(ControlId id, Colour colour);
  void setEnabled(ControlId id, bool enabled);
  void setState(ControlId id, bool on);
  void scrollTo(ControlId id, double yFromBottom);
  void centreOnScreen();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QWidget* build(const ControlModel& model, QWidget* parent, double parentHeight);
  QWidget* buildLabel(const ControlModel& model, QWidget* parent);
  QWidget* buildScrollView(const ControlModel& model, QWidget* parent);
  void applyScroll(ControlId id);

  Forward forward_;
  std::map<ControlId, QWidget*> controls_;
  std::map<ControlId, double> documentHeights_;
  std::map<ControlId, double> pendingScroll_;
};

}  // namespace kelvoma::app::qt
