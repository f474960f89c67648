// Text that comes from outside (a catalog's or a bundle's names, release
// notes, notice bodies) as Kelvoma shows or writes it: one filter for all.
//
// Left out: control characters (C0 other than line feed and tab, DEL, C1)
// and the direction overrides and isolates that could make a line read other
// than it is (U+202A–U+202E, U+2066–U+2069). A byte that is not part of valid
// UTF-8 becomes U+FFFD, so what is written is UTF-8 whatever came in.
#pragma once

#include <string>
#include <string_view>

namespace kelvoma::app {

// Several lines: line feeds and tabs are kept.
std::string shownText(std::string_view text);
// One line: line feeds, tabs and the Unicode line and paragraph separators
// become spaces.
std::string shownLine(std::string_view text);

}  // namespace kelvoma::app
