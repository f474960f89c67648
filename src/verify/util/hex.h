// Bytes as hexadecimal text, as digests are shown.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kelvoma {

// Two lower-case hexadecimal digits per byte, in order.
std::string lower_hex(std::span<const std::uint8_t> bytes);

}  // namespace kelvoma
