// RFC 4648 base64, standard alphabet, decoded strictly: padding required,
// unused low bits zero, no whitespace or other characters anywhere.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelvoma {

std::optional<std::vector<std::uint8_t>> decode_base64(std::string_view text);
std::string encode_base64(std::span<const std::uint8_t> bytes);

}  // namespace kelvoma
