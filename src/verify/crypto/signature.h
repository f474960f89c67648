// The publisher's Ed25519 signature (RFC 8032, strict rules).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "verify/crypto/digest.h"

namespace kelvoma {

// Verification of a message that arrives in pieces, such as an archive while
// it downloads, so that hashing it costs no pass of its own afterwards.
//
// start() checks the texts completely, the key (base64, length, curve point)
// before the signature (base64, length); update() hashes the next piece;
// finish() gives the verdict on everything fed so far and may be asked
// again after more pieces. Messages:
//   "Neplatný veřejný klíč."   key not strict base64 or not a curve point
//   "Neplatná délka klíče."     key not 32 bytes
//   "Neplatný podpis."          signature not strict base64
//   "Neplatná délka podpisu."   signature not 64 bytes
//   "Podpis vydavatele nesouhlasí. Instalace byla zastavena."  from finish():
//     S not below the group order, R no curve point, R or the key of small
//     order, or [S]B - [k]A not encoding to the bytes of R
// A stream is a plain value: copies hash on independently.
class SignatureStream {
 public:
  static std::expected<SignatureStream, std::string> start(std::string_view signature,
                                                           std::string_view public_key);

  // The same for a key and signature already decoded from their texts: the
  // key must be a curve point ("Neplatný veřejný klíč.").
  static std::expected<SignatureStream, std::string> start(
      std::span<const std::uint8_t, 64> signature, std::span<const std::uint8_t, 32> public_key);

  void update(std::span<const std::uint8_t> bytes);
  std::expected<void, std::string> finish() const;

 private:
  SignatureStream(std::span<const std::uint8_t, 64> signature,
                  std::span<const std::uint8_t, 32> public_key);

  std::array<std::uint8_t, 32> key_{};
  std::array<std::uint8_t, 64> signature_{};
  Digest hash_{DigestKind::sha512};  // of R, the key, and the message so far
};

// Verifies `signature` (base64 of 64 bytes) over `message` with `public_key`
// (base64 of 32 bytes): one SignatureStream fed the whole message, so the
// messages and their order are the stream's.
std::expected<void, std::string> verify_signature(std::span<const std::uint8_t> message,
                                                  std::string_view signature,
                                                  std::string_view public_key);

// The same over a key and signature already decoded (signify's files carry
// them as bytes).
std::expected<void, std::string> verify_signature(std::span<const std::uint8_t> message,
                                                  std::span<const std::uint8_t, 64> signature,
                                                  std::span<const std::uint8_t, 32> public_key);

// Whether 32 bytes are the RFC 8032 encoding of a curve point: y below p,
// x recoverable from y, and no "negative" zero x. Points of small or mixed
// order decode; it is the signature check that refuses small-order keys.
bool decodes_as_curve_point(std::span<const std::uint8_t, 32> bytes);

}  // namespace kelvoma
