#include "outside_text.h"

#include <cstdint>

namespace kelvoma::app {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

struct Character {
  std::uint32_t code = 0;
  std::size_t length = 1;  // in bytes; a lone invalid byte is one
  bool valid = false;
};

// The UTF-8 character at `at`: no overlong forms, surrogates or values past
// U+10FFFF.
Character characterAt(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) {
    return {.code = lead, .length = 1, .valid = true};
  }
  const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
  if (length == 0 || lead > 0xF4 || at + length > text.size()) {
    return {};
  }
  std::uint32_t code = lead & (0x7FU >> length);
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80) {
      return {};
    }
    code = code << 6U | (next & 0x3FU);
  }
  constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    return {};
  }
  return {.code = code, .length = length, .valid = true};
}

bool hidden(std::uint32_t code) {
  return (code < 0x20 && code != '\n' && code != '\t') || (code >= 0x7F && code <= 0x9F) ||
         (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

bool breaksLine(std::uint32_t code) {
  return code == '\n' || code == '\t' || code == 0x2028 || code == 0x2029;
}

std::string filtered(std::string_view text, bool oneLine) {
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const Character c = characterAt(text, at);
    if (!c.valid) {
      shown += kReplacement;
    } else if (oneLine && breaksLine(c.code)) {
      shown += ' ';
    } else if (!hidden(c.code)) {
      shown += text.substr(at, c.length);
    }
    at += c.length;
  }
  return shown;
}

}  // namespace

std::string shownText(std::string_view text) { return filtered(text, false); }

std::string shownLine(std::string_view text) { return filtered(text, true); }

}  // namespace kelvoma::app
