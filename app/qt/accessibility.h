// How the manager window reads to assistive technology (AT-SPI on Linux):
// the window as a frame with its title, each tool's row as a grouping named
// by the tool, and the row's controls named by their text and the tool.
#pragma once

#include <QString>

class QWidget;

namespace kelvoma::app::qt {

// Gives the manager window and the row boxes their roles; drawing stays as it
// is. Idempotent.
void installAccessibleRoles();

// The accessible name of a row's control: its visible text, then the tool.
QString accessibleNameOf(const QString& text, const QString& subject);

// Marks a control as one of a tool's row, and names it from text.
void nameRowControl(QWidget* control, const QString& text, const QString& subject);
// Names a row control again after its text changed; other widgets are left.
void renameRowControl(QWidget* control, const QString& text);

}  // namespace kelvoma::app::qt
