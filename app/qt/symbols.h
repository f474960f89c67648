// Icons drawn from our own SVG symbols, tinted like template images.
#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <string>

namespace kelvoma::app::qt {

// Whether a symbol of that name ships with the application.
bool hasSymbol(const std::string& name);

// The symbol at size × size device-independent pixels in colour; a null
// pixmap for an unknown name.
QPixmap symbolPixmap(const std::string& name, int size, const QColor& colour,
                     qreal devicePixelRatio = 1.0);

// The symbol at the usual tray and menu sizes; an empty icon for an unknown name.
QIcon symbolIcon(const std::string& name, const QColor& colour);

}  // namespace kelvoma::app::qt
