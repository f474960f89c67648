// OpenBSD signify's file formats for Ed25519 keys and signatures, so that
// seals and tickets interoperate with a tool nobody here wrote.
//
// Every file is a line "untrusted comment: TEXT", then one line of base64,
// each ended by a newline; TEXT is 1 to 1023 bytes without NUL (signify
// refuses an empty or longer comment and reads a NUL as its end), and a key
// or detached signature file is at most 2047 bytes (all signify reads of
// it). The base64 line holds:
//   public key  "Ed" (2), key number (8), public key (32)
//   signature   "Ed" (2), key number (8), signature (64)
//   secret key  "Ed" "BK", KDF rounds (4, big-endian), salt (16), checksum (8:
//               the start of the SHA-512 of the secret key), key number (8),
//               secret key (64: seed, then public key)
// An embedded signature is a signature file followed by the signed message.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kelvoma::signify {

using KeyNumber = std::array<std::uint8_t, 8>;

struct PublicKey {
  KeyNumber number{};
  std::array<std::uint8_t, 32> key{};
  bool operator==(const PublicKey&) const = default;
};

struct Signature {
  KeyNumber number{};
  std::array<std::uint8_t, 64> signature{};
  bool operator==(const Signature&) const = default;
};

struct SecretKey {
  KeyNumber number{};
  std::array<std::uint8_t, 64> key{};
  bool operator==(const SecretKey&) const = default;
};

// Whether signify reads `comment` as written after "untrusted comment: ":
// 1 to 1023 bytes, no NUL, no line end. The writers below need one.
bool valid_comment(std::string_view comment);

// The second line's base64 (the comment line and line ends stripped), or
// nothing when `text` is not exactly a comment line and one base64 line as
// above.
std::optional<std::string_view> key_line(std::string_view text);

// Decoders of the base64 line; nothing when the bytes are not of that kind.
std::optional<PublicKey> decode_public_key(std::string_view base64_line);
std::optional<Signature> decode_signature(std::string_view base64_line);
// An unencrypted secret key (KDF rounds 0) whose checksum holds.
std::optional<SecretKey> decode_secret_key(std::string_view base64_line);

// A whole embedded signature file split into its signature and the message
// that follows the base64 line's newline (any length: signify reads it all).
struct Embedded {
  Signature signature;
  std::string_view message;
};
std::optional<Embedded> split_embedded(std::string_view text);

// The files' texts, with `comment` (valid_comment) after "untrusted comment: ".
std::string public_key_file(const PublicKey& key, std::string_view comment);
std::string secret_key_file(const SecretKey& key, std::span<const std::uint8_t, 16> salt,
                            std::string_view comment);
std::string signature_file(const Signature& signature, std::string_view comment);

}  // namespace kelvoma::signify
