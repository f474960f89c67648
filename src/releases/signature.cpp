#include "releases/signature.h"

#include <sodium.h>

#include <array>
#include <optional>

#include "releases/base64.h"

namespace kelvoma {
namespace {

constexpr std::string_view bad_key = "Neplatný veřejný klíč.";
constexpr std::string_view bad_key_length = "Neplatná délka klíče.";
constexpr std::string_view bad_signature = "Neplatný podpis.";
constexpr std::string_view bad_signature_length = "Neplatná délka podpisu.";
constexpr std::string_view mismatch = "Podpis vydavatele nesouhlasí. Instalace byla zastavena.";

// Arithmetic modulo p = 2^255 - 19 on four little-endian 64-bit limbs, every
// value kept fully reduced. Only the point-decoding test needs it; speed is
// irrelevant there (one decoding per verification), clarity is not.
using Field = std::array<std::uint64_t, 4>;
using Wide = unsigned __int128;

constexpr Field field_p = {0xffffffffffffffed, 0xffffffffffffffff, 0xffffffffffffffff,
                           0x7fffffffffffffff};
constexpr Field field_zero = {0, 0, 0, 0};
constexpr Field field_one = {1, 0, 0, 0};
// Exponents: p - 2 (inversion), (p - 5) / 8 (square-root candidate) and
// (p - 1) / 4 (the square root of -1 is 2 to that power).
constexpr Field exponent_inverse = {0xffffffffffffffeb, 0xffffffffffffffff, 0xffffffffffffffff,
                                    0x7fffffffffffffff};
constexpr Field exponent_root = {0xfffffffffffffffd, 0xffffffffffffffff, 0xffffffffffffffff,
                                 0x0fffffffffffffff};
constexpr Field exponent_sqrt_m1 = {0xfffffffffffffffb, 0xffffffffffffffff, 0xffffffffffffffff,
                                    0x1fffffffffffffff};

bool at_least(const Field& a, const Field& b) {
  for (std::size_t i = 4; i-- > 0;) {
    if (a[i] != b[i]) {
      return a[i] > b[i];
    }
  }
  return true;
}

// a - b for a >= b, or the 2^256 complement otherwise.
Field subtract_raw(const Field& a, const Field& b) {
  Field result{};
  std::uint64_t borrow = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const Wide difference = Wide{a[i]} - b[i] - borrow;
    result[i] = static_cast<std::uint64_t>(difference);
    borrow = static_cast<std::uint64_t>(difference >> 64) & 1;
  }
  return result;
}

// Any value below 2^256 (at most 2p + 37) reduced below p.
Field reduce(Field a) {
  while (at_least(a, field_p)) {
    a = subtract_raw(a, field_p);
  }
  return a;
}

// Sum without reduction; both operands below p, so the sum stays below 2^256.
Field add_raw(const Field& a, const Field& b) {
  Field result{};
  std::uint64_t carry = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const Wide sum = Wide{a[i]} + b[i] + carry;
    result[i] = static_cast<std::uint64_t>(sum);
    carry = static_cast<std::uint64_t>(sum >> 64);
  }
  return result;
}

Field add(const Field& a, const Field& b) { return reduce(add_raw(a, b)); }

Field subtract(const Field& a, const Field& b) {
  return at_least(a, b) ? subtract_raw(a, b) : subtract_raw(add_raw(a, field_p), b);
}

Field negate(const Field& a) { return subtract(field_zero, a); }

// Adds `carry` * 2^256 ≡ `carry` * 38 to `value` until nothing is left over.
Field fold(Field value, std::uint64_t carry) {
  while (carry != 0) {
    Wide sum = Wide{carry} * 38;
    carry = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      sum += value[i];
      value[i] = static_cast<std::uint64_t>(sum);
      sum >>= 64;
    }
    carry = static_cast<std::uint64_t>(sum);
  }
  return value;
}

Field multiply(const Field& a, const Field& b) {
  std::array<std::uint64_t, 8> product{};
  for (std::size_t i = 0; i < 4; ++i) {
    std::uint64_t carry = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      const Wide term = Wide{a[i]} * b[j] + product[i + j] + carry;
      product[i + j] = static_cast<std::uint64_t>(term);
      carry = static_cast<std::uint64_t>(term >> 64);
    }
    product[i + 4] = carry;
  }
  // The high half counts 2^256 ≡ 38 (mod p).
  Field low{};
  Wide sum = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    sum += Wide{product[i + 4]} * 38 + product[i];
    low[i] = static_cast<std::uint64_t>(sum);
    sum >>= 64;
  }
  return reduce(fold(low, static_cast<std::uint64_t>(sum)));
}

Field power(const Field& base, const Field& exponent) {
  Field result = field_one;
  for (std::size_t bit = 256; bit-- > 0;) {
    result = multiply(result, result);
    if ((exponent[bit / 64] >> (bit % 64)) & 1) {
      result = multiply(result, base);
    }
  }
  return result;
}

Field small(std::uint64_t value) { return {value, 0, 0, 0}; }

// The curve constant d = -121665 / 121666.
Field curve_d() { return negate(multiply(small(121665), power(small(121666), exponent_inverse))); }

// RFC 8032 section 5.1.3: the y coordinate must be below p, and
// x^2 = (y^2 - 1) / (d y^2 + 1) must have a root; x = 0 has no negative
// twin, so the sign bit must then be clear.
bool decodes_point(std::span<const std::uint8_t, 32> bytes) {
  Field y{};
  for (std::size_t i = 0; i < 32; ++i) {
    y[i / 8] |= std::uint64_t{bytes[i]} << (8 * (i % 8));
  }
  y[3] &= 0x7fffffffffffffff;
  const bool x_negative = (bytes[31] & 0x80) != 0;
  if (at_least(y, field_p)) {
    return false;
  }
  const Field y2 = multiply(y, y);
  const Field u = subtract(y2, field_one);
  const Field v = add(multiply(curve_d(), y2), field_one);
  const Field v3 = multiply(multiply(v, v), v);
  const Field v7 = multiply(multiply(v3, v3), v);
  Field x = multiply(multiply(u, v3), power(multiply(u, v7), exponent_root));
  const Field vx2 = multiply(v, multiply(x, x));
  if (vx2 != u) {
    if (vx2 != negate(u)) {
      return false;
    }
    x = multiply(x, power(small(2), exponent_sqrt_m1));
  }
  return !(x == field_zero && x_negative);
}

std::expected<std::array<std::uint8_t, 32>, std::string> decode_key(std::string_view text) {
  const auto bytes = decode_base64(text);
  if (!bytes) {
    return std::unexpected(std::string(bad_key));
  }
  if (bytes->size() != crypto_sign_PUBLICKEYBYTES) {
    return std::unexpected(std::string(bad_key_length));
  }
  std::array<std::uint8_t, 32> key{};
  std::copy(bytes->begin(), bytes->end(), key.begin());
  if (!decodes_as_curve_point(key)) {
    return std::unexpected(std::string(bad_key));
  }
  return key;
}

std::expected<std::array<std::uint8_t, 64>, std::string> decode_signature(std::string_view text) {
  const auto bytes = decode_base64(text);
  if (!bytes) {
    return std::unexpected(std::string(bad_signature));
  }
  if (bytes->size() != crypto_sign_BYTES) {
    return std::unexpected(std::string(bad_signature_length));
  }
  std::array<std::uint8_t, 64> signature{};
  std::copy(bytes->begin(), bytes->end(), signature.begin());
  return signature;
}

}  // namespace

bool decodes_as_curve_point(std::span<const std::uint8_t, 32> bytes) {
  return decodes_point(bytes);
}

std::expected<void, std::string> verify_signature(std::span<const std::uint8_t> message,
                                                  std::string_view signature,
                                                  std::string_view public_key) {
  const auto key = decode_key(public_key);
  if (!key) {
    return std::unexpected(key.error());
  }
  const auto decoded = decode_signature(signature);
  if (!decoded) {
    return std::unexpected(decoded.error());
  }
  // libsodium's verification is RFC 8032 with the strict rules: canonical S,
  // small-order R and key refused, cofactorless equation compared with the
  // bytes of R. Initialisation can only fail for want of an entropy source,
  // which verification does not use.
  [[maybe_unused]] const int initialised = sodium_init();
  if (crypto_sign_verify_detached(decoded->data(), message.data(), message.size(), key->data()) !=
      0) {
    return std::unexpected(std::string(mismatch));
  }
  return {};
}

}  // namespace kelvoma
