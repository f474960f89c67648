// The Ed25519 group of RFC 8032 as the signature check needs it: decoding
// point encodings, reducing the challenge modulo the group order, and the
// verification equation with the strict rules. Internal to the signature
// check (signature.h holds the protocol: texts, lengths, order of checks).
// Every input of a verification is public, so nothing here runs in
// constant time.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace kelvoma::ed25519 {

using Bytes32 = std::array<std::uint8_t, 32>;
using Encoding = std::span<const std::uint8_t, 32>;   // a point: y, x's sign on top
using Scalar = std::span<const std::uint8_t, 32>;     // little-endian
using Signature = std::span<const std::uint8_t, 64>;  // R, then S

// Whether 32 bytes are the encoding of a curve point: y below p, x
// recoverable from y, and no "negative" zero x. Points of small or mixed
// order decode.
bool decodes_as_point(Encoding bytes);

// A 64-byte little-endian number (the challenge's SHA-512 digest) modulo
// the group order L.
Bytes32 reduce_scalar(std::span<const std::uint8_t, 64> wide);

// RFC 8032 section 5.1.7 with the strict rules: S below L, R and the key
// decode and neither has small order, and the cofactorless [S]B - [k]A
// encodes to the bytes of R. A key of mixed order passes the order rule;
// only the equation decides for it.
bool equation_holds(Signature signature, Encoding key, Scalar k);

}  // namespace kelvoma::ed25519
