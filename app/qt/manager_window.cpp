#include "manager_window.h"

#include <QAbstractButton>
#include <QApplication>
#include <QProgressBar>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QVBoxLayout>
#include <algorithm>

#include "accessibility.h"
#include "window_controls.h"

namespace kelvoma::app::qt {

ManagerWindow::ManagerWindow(const WindowModel& model, Forward forward)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::CustomizeWindowHint |
                           (model.closable ? Qt::WindowCloseButtonHint : Qt::Widget) |
                           (model.miniaturizable ? Qt::WindowMinimizeButtonHint : Qt::Widget)),
      forward_(std::move(forward)) {
  setWindowTitle(QString::fromStdString(model.title));
  // The content keeps the model's size; where the screen is smaller the
  // window is as large as fits and the whole content scrolls.
  whole_ = new QScrollArea(this);
  whole_->setFrameShape(QFrame::NoFrame);
  whole_->setFocusPolicy(Qt::NoFocus);
  content_ = new QWidget;
  content_->setFixedSize(qRound(model.width), qRound(model.height));
  whole_->setWidget(content_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(whole_);
  setFixedSize(content_->size());
  // Closing only hides the window; the application stays in the tray.
  setAttribute(Qt::WA_DeleteOnClose, false);
  // Quitting without a tray: the menu's "Ukončit Kelvoma", with its rules.
  auto* quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
  connect(quit, &QShortcut::activated, this, [this] { forward_(Action::quit, Sender{}); });
  installAccessibleRoles();
  for (const ControlModel& each : model.controls) {
    build(each, content_, model.height);
  }
  focusFollower_ = connect(qApp, &QApplication::focusChanged, this,
                           [this](QWidget*, QWidget* focused) { followFocus(focused); });
}

// Focus moves while the children go; this is no ManagerWindow by then.
ManagerWindow::~ManagerWindow() { disconnect(focusFollower_); }

QWidget* ManagerWindow::buildScrollView(const ControlModel& model, QWidget* parent) {
  auto* scroll = new QScrollArea(parent);
  scroll->setFocusPolicy(Qt::NoFocus);  // Tab goes from control to control, through the rows
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll->setVerticalScrollBarPolicy(model.hasVerticalScroller ? Qt::ScrollBarAsNeeded
                                                               : Qt::ScrollBarAlwaysOff);
  auto* document = new QWidget;
  document->setFixedSize(qRound(model.documentWidth), qRound(model.documentHeight));
  for (const ControlModel& child : model.children) {
    build(child, document, model.documentHeight);
  }
  scroll->setWidget(document);
  if (!model.drawsBackground) {
    scroll->viewport()->setAutoFillBackground(false);
    document->setAutoFillBackground(false);
  }
  documentHeights_[model.id] = model.documentHeight;
  return scroll;
}

QWidget* ManagerWindow::build(const ControlModel& model, QWidget* parent, double parentHeight) {
  QWidget* widget = nullptr;
  switch (model.kind) {
    case ControlKind::label:
      widget = makeLabel(model, parent);
      break;
    case ControlKind::image:
      widget = makeImage(model, parent);
      break;
    case ControlKind::checkbox:
    case ControlKind::pushButton: {
      QAbstractButton* button = makeButton(model, parent);
      if (model.action) {
        const Action action = *model.action;
        const std::string identifier = model.identifier;
        connect(button, &QAbstractButton::clicked, this, [this, action, identifier, button] {
          forward_(action, Sender{.kind = Sender::Kind::control,
                                  .representedObject = {},
                                  .identifier = identifier,
                                  .on = button->isChecked()});
        });
      }
      widget = button;
      break;
    }
    case ControlKind::box: {
      auto* box = new RowBox(model.cornerRadius, colourOf(model.borderColour, palette()),
                             colourOf(model.fillColour, palette()), parent);
      // The children's frames are relative to the box's content area, its bounds here.
      for (const ControlModel& child : model.children) {
        build(child, box, model.frame.height);
      }
      widget = box;
      break;
    }
    case ControlKind::scrollView:
      widget = buildScrollView(model, parent);
      break;
    case ControlKind::progressBar:
      widget = makeProgressBar(parent);
      break;
  }
  widget->setGeometry(flipped(model.frame, parentHeight));
  widget->setHidden(model.hidden);
  name(widget, model);
  if (model.id != noControl) {
    controls_[model.id] = widget;
  }
  return widget;
}

void ManagerWindow::name(QWidget* widget, const ControlModel& model) {
  const QString subject = QString::fromStdString(model.subject);
  if (model.kind == ControlKind::box && !subject.isEmpty()) {
    widget->setAccessibleName(subject);
    widget->setAccessibleDescription(QString::fromStdString(model.description));
  } else if (!subject.isEmpty()) {
    nameRowControl(widget, QString::fromStdString(model.text), subject);
  }
  if (model.nameFrom != noControl) {
    namedByText_[model.nameFrom] = widget;
  }
}

QWidget* ManagerWindow::control(ControlId id) const {
  const auto found = controls_.find(id);
  return found == controls_.end() ? nullptr : found->second;
}

void ManagerWindow::setText(ControlId id, const QString& text) {
  QWidget* widget = control(id);
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    if (label->text() != text) {
      label->setText(text);
      if (const auto image = namedByText_.find(id); image != namedByText_.end()) {
        image->second->setAccessibleName(text);
      }
    }
  } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
    if (button->text() != text) {
      button->setText(text);
      renameRowControl(button, text);
    }
  }
}

void ManagerWindow::setHidden(ControlId id, bool hidden) {
  if (QWidget* widget = control(id); widget != nullptr && widget->isHidden() != hidden) {
    widget->setHidden(hidden);
  }
}

void ManagerWindow::setProgress(ControlId id, const ProgressValue& value) {
  if (auto* bar = qobject_cast<QProgressBar*>(control(id))) {
    setProgressValue(*bar, value);
  }
}

// A control reached with the keyboard is scrolled into view with its row.
void ManagerWindow::followFocus(QWidget* focused) {
  if (focused == nullptr || focused->window() != this) {
    return;
  }
  QWidget* row = rowBoxOf(focused);
  for (const auto& [id, height] : documentHeights_) {
    auto* scroll = qobject_cast<QScrollArea*>(control(id));
    if (scroll != nullptr && scroll->widget() != nullptr &&
        scroll->widget()->isAncestorOf(focused)) {
      scroll->ensureWidgetVisible(row != nullptr ? row : focused, 0, 8);
    }
  }
  // On a screen smaller than the window the whole content scrolls too.
  whole_->ensureWidgetVisible(focused, 0, 8);
}

void ManagerWindow::setToolTip(ControlId id, const std::optional<QString>& text) {
  if (QWidget* widget = control(id)) {
    widget->setToolTip(text.value_or(QString()));
  }
}

void ManagerWindow::setTextColour(ControlId id, Colour colour) {
  QWidget* widget = control(id);
  if (widget == nullptr) {
    return;
  }
  const QColor wanted = colourOf(colour, QWidget::palette());
  if (widget->palette().color(QPalette::WindowText) != wanted) {
    setForeground(widget, wanted);
  }
}

void ManagerWindow::setEnabled(ControlId id, bool enabled) {
  if (QWidget* widget = control(id); widget != nullptr && widget->isEnabled() != enabled) {
    // A disabled focus widget hands focus to the next control, and the list
    // scrolls to show that one: the row just pressed would slide away.
    if (!enabled && widget->window()->focusWidget() == widget) {
      widget->clearFocus();
    }
    widget->setEnabled(enabled);
  }
}

void ManagerWindow::setState(ControlId id, bool on) {
  if (auto* button = qobject_cast<QAbstractButton*>(control(id));
      button != nullptr && button->isCheckable() && button->isChecked() != on) {
    button->setChecked(on);
  }
}

void ManagerWindow::scrollTo(ControlId id, double yFromBottom) {
  pendingScroll_[id] = yFromBottom;
  applyScroll(id);
}

// The scroll bar's range is known only once the view has its size, so the
// position is applied again when the window is shown.
void ManagerWindow::applyScroll(ControlId id) {
  auto* scroll = qobject_cast<QScrollArea*>(control(id));
  const auto wanted = pendingScroll_.find(id);
  if (scroll == nullptr || wanted == pendingScroll_.end()) {
    return;
  }
  const double visible = scroll->height();
  const double fromTop = documentHeights_[id] - visible - wanted->second;
  scroll->verticalScrollBar()->setValue(std::max(0, qRound(fromTop)));
}

void ManagerWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  for (const auto& [id, y] : pendingScroll_) {
    applyScroll(id);
  }
  // Later openings keep wherever the user scrolled to.
  pendingScroll_.clear();
}

// The window manager's frame is not known before the first showing; the
// allowance leaves room for a title bar and borders of the usual sizes.
void ManagerWindow::centreOnScreen() {
  const QScreen* screen = this->screen();
  if (screen == nullptr) {
    return;
  }
  const QRect available = screen->availableGeometry();
  const QSize frame = isVisible() ? frameGeometry().size() - size() : QSize(8, 36);
  setFixedSize(content_->size().boundedTo(available.size() - frame));
  const QSize outer = size() + frame;
  const QPoint centred = available.center() - QPoint(outer.width() / 2, outer.height() / 2);
  move(std::max(centred.x(), available.left()), std::max(centred.y(), available.top()));
}

}  // namespace kelvoma::app::qt
