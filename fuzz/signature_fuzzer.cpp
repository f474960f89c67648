// The strict Ed25519 verifier against libsodium's crypto_sign_verify_detached,
// whose rules are ours: an input on which the two disagree is a finding, and
// so is one on which the one-shot and the streamed verdicts differ.
//   first byte even: the next byte sets the stream's piece size, then the
//     key (32 bytes), the signature (64) and the message (the rest), as given;
//   first byte odd: the next three bytes choose one byte of key and
//     signature, an XOR mask for it (0 changes nothing) and the piece size;
//     the rest is a message signed here with a fixed key, so the fuzzer
//     reaches accepting and nearly accepting inputs it could never forge.
#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "verify/crypto/base64.h"
#include "verify/crypto/signature.h"

namespace {

struct FuzzKey {
  std::array<std::uint8_t, crypto_sign_SECRETKEYBYTES> secret{};
  std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES> public_key{};

  FuzzKey() {
    if (sodium_init() < 0) {
      __builtin_trap();
    }
    std::array<std::uint8_t, crypto_sign_SEEDBYTES> seed{};
    seed.fill(0x53);
    crypto_sign_seed_keypair(public_key.data(), secret.data(), seed.data());
  }
};

std::expected<void, std::string> streamed(std::span<const std::uint8_t> message, std::size_t piece,
                                          const std::string& signature, const std::string& key) {
  auto stream = kelvoma::SignatureStream::start(signature, key);
  if (!stream) {
    return std::unexpected(stream.error());
  }
  for (std::size_t at = 0; at < message.size(); at += piece) {
    stream->update(message.subspan(at, std::min(piece, message.size() - at)));
  }
  return stream->finish();
}

void compare(std::span<const std::uint8_t, 32> key, std::span<const std::uint8_t, 64> signature,
             std::span<const std::uint8_t> message, std::size_t piece) {
  const std::string key_text = kelvoma::encode_base64(key);
  const std::string signature_text = kelvoma::encode_base64(signature);
  const auto whole = kelvoma::verify_signature(message, signature_text, key_text);
  if (streamed(message, piece, signature_text, key_text) != whole) {
    __builtin_trap();
  }
  const bool sodium_accepts = crypto_sign_verify_detached(signature.data(), message.data(),
                                                          message.size(), key.data()) == 0;
  if (whole.has_value() != sodium_accepts) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const FuzzKey fixed;
  if (size < 4) {
    return 0;
  }
  const std::span<const std::uint8_t> input(data, size);
  if (input[0] % 2 == 0) {
    if (size < 2 + 32 + 64) {
      return 0;
    }
    compare(input.subspan<2, 32>(), input.subspan<34, 64>(), input.subspan(98), 1 + input[1]);
    return 0;
  }
  const std::span<const std::uint8_t> message = input.subspan(4);
  std::array<std::uint8_t, 96> key_and_signature{};
  std::copy(fixed.public_key.begin(), fixed.public_key.end(), key_and_signature.begin());
  crypto_sign_detached(key_and_signature.data() + 32, nullptr, message.data(), message.size(),
                       fixed.secret.data());
  key_and_signature[input[1] % key_and_signature.size()] ^= input[2];
  const std::span<const std::uint8_t, 96> both(key_and_signature);
  compare(both.first<32>(), both.last<64>(), message, 1 + input[3]);
  return 0;
}
