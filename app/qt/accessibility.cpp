#include "accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QVariant>
#include <QWidget>

#include "manager_window.h"

namespace kelvoma::app::qt {
namespace {

constexpr const char* kSubject = "kelvomaSubject";

QAccessibleInterface* accessibleFor(const QString&, QObject* object) {
  if (auto* row = dynamic_cast<RowBox*>(object)) {
    return new QAccessibleWidget(row, QAccessible::Grouping);
  }
  if (auto* window = dynamic_cast<ManagerWindow*>(object)) {
    // A plain top-level widget reads as a client area ("filler").
    return new QAccessibleWidget(window, QAccessible::Window);
  }
  return nullptr;
}

}  // namespace

void installAccessibleRoles() {
  static const bool installed = [] {
    QAccessible::installFactory(&accessibleFor);
    return true;
  }();
  (void)installed;
}

QString accessibleNameOf(const QString& text, const QString& subject) {
  return text + QStringLiteral(" – ") + subject;
}

void nameRowControl(QWidget* control, const QString& text, const QString& subject) {
  control->setProperty(kSubject, subject);
  control->setAccessibleName(accessibleNameOf(text, subject));
}

void renameRowControl(QWidget* control, const QString& text) {
  const QVariant subject = control->property(kSubject);
  if (subject.isValid()) {
    control->setAccessibleName(accessibleNameOf(text, subject.toString()));
  }
}

}  // namespace kelvoma::app::qt
