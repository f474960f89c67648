// The manager window drawn from a WindowModel. Frames come with their origin at
// the parent's bottom-left corner; each is flipped within its parent here.
#pragma once

#include <QWidget>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "ui_model.h"
#include "window_widgets.h"

class QScrollArea;

namespace kelvoma::app::qt {

using Forward = std::function<void(Action, const Sender&)>;

class ManagerWindow : public QWidget {
 public:
  ManagerWindow(const WindowModel& model, Forward forward);
  ~ManagerWindow() override;

  QWidget* control(ControlId id) const;
  void setText(ControlId id, const QString& text);
  void setToolTip(ControlId id, const std::optional<QString>& text);
  void setTextColour(ControlId id, Colour colour);
  void setEnabled(ControlId id, bool enabled);
  void setState(ControlId id, bool on);
  void scrollTo(ControlId id, double yFromBottom);
  void setHidden(ControlId id, bool hidden);
  void setProgress(ControlId id, const ProgressValue& value);
  // Fits the window into the available area of its screen and centres it there.
  void centreOnScreen();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QWidget* build(const ControlModel& model, QWidget* parent, double parentHeight);
  QWidget* buildScrollView(const ControlModel& model, QWidget* parent);
  void applyScroll(ControlId id);
  void name(QWidget* widget, const ControlModel& model);
  void followFocus(QWidget* focused);

  Forward forward_;
  QScrollArea* whole_ = nullptr;  // scrolls the content where the screen is smaller
  QWidget* content_ = nullptr;    // the controls, at the model's size
  std::map<ControlId, QWidget*> controls_;
  std::map<ControlId, double> documentHeights_;
  std::map<ControlId, double> pendingScroll_;
  std::map<ControlId, QWidget*> namedByText_;  // label id → the image it names
  QMetaObject::Connection focusFollower_;
};

}  // namespace kelvoma::app::qt
