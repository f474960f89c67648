// Texts that arrive through the C interface.
#pragma once

#include <string>

namespace kelvoma {

// A C text argument: NULL or text that is not well-formed UTF-8 (overlong
// forms, surrogates and values above U+10FFFF included) reads as the empty
// text.
std::string read_text_argument(const char* text);

}  // namespace kelvoma
