// Documents: the parsed answers of the core and the Info.plist dictionaries of
// bundles, read with the lenient rules of a dictionary lookup (a missing key
// or a value of another kind reads as "nothing").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kelvoma::app {

using Document = nlohmann::json;

// The text under key, or nothing when the document is no object, the key is
// missing or its value is no text.
std::optional<std::string> textOf(const Document& document, std::string_view key);

// The boolean under key; false when missing or not a boolean.
bool boolOf(const Document& document, std::string_view key);

// The number under key as an unsigned 64-bit value (a negative integer keeps
// its 64 bits, a fraction is cut); 0 when missing or not a number.
std::uint64_t unsignedOf(const Document& document, std::string_view key);

// A value shown with a format: a text as is, a number in decimal, otherwise
// nothing.
std::optional<std::string> describedOf(const Document& document, std::string_view key);

}  // namespace kelvoma::app
