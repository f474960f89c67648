#include "verify/crypto/base64.h"

#include <sodium.h>

namespace kelvoma {

std::optional<std::vector<std::uint8_t>> decode_base64(std::string_view text) {
  // Padded base64 always comes in whole groups of four characters.
  if (text.size() % 4 != 0) {
    return std::nullopt;
  }
  if (text.empty()) {
    return std::vector<std::uint8_t>{};  // the decoder wants real buffers
  }
  std::vector<std::uint8_t> bytes(text.size() / 4 * 3);
  std::size_t decoded = 0;
  // No ignored characters and a null end pointer: the decoder itself refuses
  // missing padding, non-zero unused bits and any character after the data.
  if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &decoded,
                        nullptr, sodium_base64_VARIANT_ORIGINAL) != 0) {
    return std::nullopt;
  }
  bytes.resize(decoded);
  return bytes;
}

std::string encode_base64(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) {
    return {};
  }
  const std::size_t size = sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL);
  std::string text(size, '\0');
  sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  text.resize(size - 1);  // drop the encoder's NUL terminator
  return text;
}

}  // namespace kelvoma
