// The protocol of the publisher's signature: the texts, their lengths and
// the order of the checks. The group arithmetic is in ed25519_point.
#include "verify/crypto/signature.h"

#include <algorithm>

#include "verify/crypto/base64.h"
#include "verify/crypto/ed25519_point.h"

namespace kelvoma {
namespace {

constexpr std::string_view bad_key = "Neplatný veřejný klíč.";
constexpr std::string_view bad_key_length = "Neplatná délka klíče.";
constexpr std::string_view bad_signature = "Neplatný podpis.";
constexpr std::string_view bad_signature_length = "Neplatná délka podpisu.";
constexpr std::string_view mismatch = "Podpis vydavatele nesouhlasí. Instalace byla zastavena.";

constexpr std::size_t key_size = 32;
constexpr std::size_t signature_size = 64;

std::expected<std::array<std::uint8_t, key_size>, std::string> decode_key(std::string_view text) {
  const auto bytes = decode_base64(text);
  if (!bytes) {
    return std::unexpected(std::string(bad_key));
  }
  if (bytes->size() != key_size) {
    return std::unexpected(std::string(bad_key_length));
  }
  std::array<std::uint8_t, key_size> key{};
  std::copy(bytes->begin(), bytes->end(), key.begin());
  if (!decodes_as_curve_point(key)) {
    return std::unexpected(std::string(bad_key));
  }
  return key;
}

std::expected<std::array<std::uint8_t, signature_size>, std::string> decode_signature(
    std::string_view text) {
  const auto bytes = decode_base64(text);
  if (!bytes) {
    return std::unexpected(std::string(bad_signature));
  }
  if (bytes->size() != signature_size) {
    return std::unexpected(std::string(bad_signature_length));
  }
  std::array<std::uint8_t, signature_size> signature{};
  std::copy(bytes->begin(), bytes->end(), signature.begin());
  return signature;
}

}  // namespace

bool decodes_as_curve_point(std::span<const std::uint8_t, 32> bytes) {
  return ed25519::decodes_as_point(bytes);
}

SignatureStream::SignatureStream(std::span<const std::uint8_t, signature_size> signature,
                                 std::span<const std::uint8_t, key_size> public_key) {
  std::ranges::copy(public_key, key_.begin());
  std::ranges::copy(signature, signature_.begin());
  // k hashes R, then the key's 32 bytes as given, then the message.
  hash_.update(std::span(signature_).first<32>());
  hash_.update(key_);
}

std::expected<SignatureStream, std::string> SignatureStream::start(std::string_view signature,
                                                                   std::string_view public_key) {
  const auto key = decode_key(public_key);
  if (!key) {
    return std::unexpected(key.error());
  }
  const auto decoded = decode_signature(signature);
  if (!decoded) {
    return std::unexpected(decoded.error());
  }
  return SignatureStream(*decoded, *key);
}

std::expected<SignatureStream, std::string> SignatureStream::start(
    std::span<const std::uint8_t, signature_size> signature,
    std::span<const std::uint8_t, key_size> public_key) {
  if (!decodes_as_curve_point(public_key)) {
    return std::unexpected(std::string(bad_key));
  }
  return SignatureStream(signature, public_key);
}

void SignatureStream::update(std::span<const std::uint8_t> bytes) { hash_.update(bytes); }

std::expected<void, std::string> SignatureStream::finish() const {
  const std::vector<std::uint8_t> digest = hash_.value();
  const auto k = ed25519::reduce_scalar(std::span<const std::uint8_t, 64>(digest.data(), 64));
  if (!ed25519::equation_holds(signature_, key_, k)) {
    return std::unexpected(std::string(mismatch));
  }
  return {};
}

namespace {

std::expected<void, std::string> verify_whole(std::expected<SignatureStream, std::string> stream,
                                              std::span<const std::uint8_t> message) {
  if (!stream) {
    return std::unexpected(stream.error());
  }
  stream->update(message);
  return stream->finish();
}

}  // namespace

std::expected<void, std::string> verify_signature(std::span<const std::uint8_t> message,
                                                  std::string_view signature,
                                                  std::string_view public_key) {
  return verify_whole(SignatureStream::start(signature, public_key), message);
}

std::expected<void, std::string> verify_signature(std::span<const std::uint8_t> message,
                                                  std::span<const std::uint8_t, 64> signature,
                                                  std::span<const std::uint8_t, 32> public_key) {
  return verify_whole(SignatureStream::start(signature, public_key), message);
}

}  // namespace kelvoma
