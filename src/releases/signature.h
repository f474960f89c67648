// The publisher's Ed25519 signature (RFC 8032, strict rules).
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

namespace kelvoma {

// Verifies `signature` (base64 of 64 bytes) over `message` with `public_key`
// (base64 of 32 bytes). The key is checked completely (base64, length, curve
// point) before the signature text is looked at. Messages:
//   "Neplatný veřejný klíč."   key not strict base64 or not a curve point
//   "Neplatná délka klíče."     key not 32 bytes
//   "Neplatný podpis."          signature not strict base64
//   "Neplatná délka podpisu."   signature not 64 bytes
//   "Podpis vydavatele nesouhlasí. Instalace byla zastavena."  anything else
std::expected<void, std::string> verify_signature(std::span<const std::uint8_t> message,
                                                  std::string_view signature,
                                                  std::string_view public_key);

// Whether 32 bytes are the RFC 8032 encoding of a curve point: y below p,
// x recoverable from y, and no "negative" zero x. Points of small or mixed
// order decode; it is the signature check that refuses small-order keys.
bool decodes_as_curve_point(std::span<const std::uint8_t, 32> bytes);

}  // namespace kelvoma
