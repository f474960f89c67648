// Kelvoma's own icons on the desktop: the status item's and the window's.
// Both are named in the desktop's icon theme (installed under
// share/icons/hicolor), and both have an embedded copy for when the theme
// lacks them.
#pragma once

#include <QIcon>

namespace kelvoma::app::qt {

inline constexpr const char* kTrayIconName = "cz.tobranix.Kelvoma-symbolic";
inline constexpr const char* kApplicationIconName = "cz.tobranix.Kelvoma";

// The status item's icon. Its pixels are a light glyph with a dark outline
// that reads on light and dark panels alike, since XEmbed trays show pixels
// as they are. When the icon theme has the symbolic icon, the icon carries
// its name, so that a StatusNotifier host draws the theme's icon in the
// panel's own colour instead.
QIcon statusItemIcon();

// The status item's icon when something waits for the user: the same pixels
// with a coloured dot in a corner, drawn at whatever size the tray asks for.
// It has no theme name, so that a StatusNotifier host shows these pixels
// rather than the theme's plain icon.
QIcon attentionItemIcon();

// The theme's application icon, or the embedded copy when the theme lacks it.
QIcon applicationIcon();

}  // namespace kelvoma::app::qt
