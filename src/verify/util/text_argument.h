// Texts that arrive through the C interface.
#pragma once

#include <string>
#include <string_view>

namespace kelvoma {

// A C text argument: NULL or text that is not well-formed UTF-8 (overlong
// forms, surrogates and values above U+10FFFF included) reads as the empty
// text.
std::string read_text_argument(const char* text);

// Whether `text` is well-formed UTF-8 in that same sense.
bool is_valid_utf8(std::string_view text);

}  // namespace kelvoma
