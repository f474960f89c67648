// signify's readers over untrusted text: the public-key, signature and
// secret-key files' lines and their decoders, and the embedded signature's
// split. Whatever they accept must come back whole (key number, key or
// signature bytes) from the text this code writes for it, and every
// accepted text must be one signify reads too: a comment of 1 to 1023 bytes
// without NUL, and a newline after the base64 line.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "verify/crypto/signify.h"

namespace {

using namespace kelvoma;

void require(bool holds) {
  if (!holds) {
    __builtin_trap();
  }
}

// The comment line and the base64 line's end of an accepted text.
void require_signify_lines(std::string_view text) {
  constexpr std::string_view prefix = "untrusted comment: ";
  require(text.starts_with(prefix));
  const std::size_t end = text.find('\n');
  require(end != std::string_view::npos && end > prefix.size() && end - prefix.size() <= 1023 &&
          text.substr(0, end).find('\0') == std::string_view::npos);
  require(text.find('\n', end + 1) != std::string_view::npos);
}

template <typename Decoded, typename Decode, typename Write>
void round_trip(const std::optional<Decoded>& decoded, Decode decode, Write write) {
  if (!decoded) {
    return;
  }
  const std::string text = write(*decoded);
  const auto line = signify::key_line(text);
  require(line.has_value());
  const auto again = decode(*line);
  require(again && *again == *decoded);
}

void keys_and_signatures(std::string_view line) {
  round_trip(signify::decode_public_key(line), signify::decode_public_key,
             [](const auto& key) { return signify::public_key_file(key, "fuzz"); });
  const auto signature = signify::decode_signature(line);
  round_trip(signature, signify::decode_signature,
             [](const auto& s) { return signify::signature_file(s, "fuzz"); });
  constexpr std::array<std::uint8_t, 16> salt{};
  round_trip(signify::decode_secret_key(line), signify::decode_secret_key,
             [&](const auto& key) { return signify::secret_key_file(key, salt, "fuzz"); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // The decoders alone, over the bytes as one base64 line.
  keys_and_signatures(text);
  if (const auto line = signify::key_line(text)) {
    require_signify_lines(text);
    require(text.ends_with(std::string(*line) + "\n"));
    keys_and_signatures(*line);
  }
  if (const auto embedded = signify::split_embedded(text)) {
    require_signify_lines(text);
    require(text.ends_with(embedded->message));
    const std::string written =
        signify::signature_file(embedded->signature, "fuzz") + std::string(embedded->message);
    const auto again = signify::split_embedded(written);
    require(again && again->signature == embedded->signature &&
            again->message == embedded->message);
  }
  return 0;
}
