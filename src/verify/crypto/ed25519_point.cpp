#include "verify/crypto/ed25519_point.h"

#include <algorithm>
#include <optional>

namespace kelvoma::ed25519 {
namespace {

// Arithmetic modulo p = 2^255 - 19 on four little-endian 64-bit limbs, every
// value kept fully reduced, so equal values are equal arrays. One
// verification does a few thousand multiplications; clarity wins over speed.
// Everything is constexpr so that the curve's constants below are derived
// from their definitions by the compiler instead of being copied in as
// opaque digits.
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

constexpr bool at_least(const Field& a, const Field& b) {
  for (std::size_t i = 4; i-- > 0;) {
    if (a[i] != b[i]) {
      return a[i] > b[i];
    }
  }
  return true;
}

// a - b for a >= b, or the 2^256 complement otherwise.
constexpr Field subtract_raw(const Field& a, const Field& b) {
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
constexpr Field reduce(Field a) {
  while (at_least(a, field_p)) {
    a = subtract_raw(a, field_p);
  }
  return a;
}

// Sum without reduction; both operands below p, so the sum stays below 2^256.
constexpr Field add_raw(const Field& a, const Field& b) {
  Field result{};
  std::uint64_t carry = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const Wide sum = Wide{a[i]} + b[i] + carry;
    result[i] = static_cast<std::uint64_t>(sum);
    carry = static_cast<std::uint64_t>(sum >> 64);
  }
  return result;
}

constexpr Field add(const Field& a, const Field& b) { return reduce(add_raw(a, b)); }

constexpr Field subtract(const Field& a, const Field& b) {
  return at_least(a, b) ? subtract_raw(a, b) : subtract_raw(add_raw(a, field_p), b);
}

constexpr Field negate(const Field& a) { return subtract(field_zero, a); }

constexpr Field multiply(const Field& a, const Field& b) {
  // Raw indexing: this is the innermost loop of every verification, and
  // checked element access would dominate unoptimised test builds.
  const std::uint64_t* const x = a.data();
  const std::uint64_t* const y = b.data();
  std::uint64_t product[8] = {};
  for (std::size_t i = 0; i < 4; ++i) {
    Wide carry = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      carry += Wide{x[i]} * y[j] + product[i + j];
      product[i + j] = static_cast<std::uint64_t>(carry);
      carry >>= 64;
    }
    product[i + 4] = static_cast<std::uint64_t>(carry);
  }
  // The high half counts 2^256 ≡ 38 (mod p). What carries out of that fold
  // (below 39) is folded once more; a carry out of the second fold leaves a
  // value so small that adding its 38 cannot carry again.
  std::uint64_t folded[4] = {};
  Wide sum = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    sum += Wide{product[i + 4]} * 38 + product[i];
    folded[i] = static_cast<std::uint64_t>(sum);
    sum >>= 64;
  }
  sum *= 38;
  for (std::size_t i = 0; i < 4; ++i) {
    sum += folded[i];
    folded[i] = static_cast<std::uint64_t>(sum);
    sum >>= 64;
  }
  folded[0] += static_cast<std::uint64_t>(sum) * 38;
  return reduce({folded[0], folded[1], folded[2], folded[3]});
}

// Square-and-multiply by four exponent bits at a time.
constexpr Field power(const Field& base, const Field& exponent) {
  std::array<Field, 16> powers{};
  powers[0] = field_one;
  for (std::size_t i = 1; i < powers.size(); ++i) {
    powers[i] = multiply(powers[i - 1], base);
  }
  Field result = field_one;
  for (std::size_t digit = 64; digit-- > 0;) {
    for (int i = 0; i < 4; ++i) {
      result = multiply(result, result);
    }
    const std::uint64_t bits = (exponent[digit / 16] >> (4 * (digit % 16))) & 15;
    if (bits != 0) {
      result = multiply(result, powers[bits]);
    }
  }
  return result;
}

constexpr Field small(std::uint64_t value) { return {value, 0, 0, 0}; }

// The curve constant d = -121665 / 121666, twice d for the addition law, and
// a square root of -1 for the decoding.
constexpr Field curve_d = negate(multiply(small(121665), power(small(121666), exponent_inverse)));
constexpr Field curve_2d = add(curve_d, curve_d);
constexpr Field sqrt_m1 = power(small(2), exponent_sqrt_m1);

// A point in extended coordinates (RFC 8032 section 5.1.4): x = X/Z,
// y = Y/Z and x*y = T/Z.
struct Point {
  Field x;
  Field y;
  Field z;
  Field t;
};

constexpr Point identity = {field_zero, field_one, field_one, field_zero};

// RFC 8032's addition; the law is complete on this curve, so it also serves
// for equal points, the identity and points of small order.
constexpr Point point_add(const Point& p, const Point& q) {
  const Field a = multiply(subtract(p.y, p.x), subtract(q.y, q.x));
  const Field b = multiply(add(p.y, p.x), add(q.y, q.x));
  const Field c = multiply(multiply(p.t, curve_2d), q.t);
  const Field d = multiply(add(p.z, p.z), q.z);
  const Field e = subtract(b, a);
  const Field f = subtract(d, c);
  const Field g = add(d, c);
  const Field h = add(b, a);
  return {multiply(e, f), multiply(g, h), multiply(f, g), multiply(e, h)};
}

constexpr Point point_double(const Point& p) {
  const Field a = multiply(p.x, p.x);
  const Field b = multiply(p.y, p.y);
  const Field z2 = multiply(p.z, p.z);
  const Field c = add(z2, z2);
  const Field h = add(a, b);
  const Field x_plus_y = add(p.x, p.y);
  const Field e = subtract(h, multiply(x_plus_y, x_plus_y));
  const Field g = subtract(a, b);
  const Field f = add(c, g);
  return {multiply(e, f), multiply(g, h), multiply(f, g), multiply(e, h)};
}

constexpr Point point_negate(const Point& p) { return {negate(p.x), p.y, p.z, negate(p.t)}; }

// RFC 8032 section 5.1.3: the y coordinate must be below p, and
// x^2 = (y^2 - 1) / (d y^2 + 1) must have a root; x = 0 has no negative
// twin, so the sign bit must then be clear.
constexpr std::optional<Point> decode_point(Encoding bytes) {
  Field y{};
  for (std::size_t i = 0; i < 32; ++i) {
    y[i / 8] |= std::uint64_t{bytes[i]} << (8 * (i % 8));
  }
  y[3] &= 0x7fffffffffffffff;
  const bool x_negative = (bytes[31] & 0x80) != 0;
  if (at_least(y, field_p)) {
    return std::nullopt;
  }
  const Field y2 = multiply(y, y);
  const Field u = subtract(y2, field_one);
  const Field v = add(multiply(curve_d, y2), field_one);
  const Field v3 = multiply(multiply(v, v), v);
  const Field v7 = multiply(multiply(v3, v3), v);
  Field x = multiply(multiply(u, v3), power(multiply(u, v7), exponent_root));
  const Field vx2 = multiply(v, multiply(x, x));
  if (vx2 != u) {
    if (vx2 != negate(u)) {
      return std::nullopt;
    }
    x = multiply(x, sqrt_m1);
  }
  if (x == field_zero && x_negative) {
    return std::nullopt;
  }
  if (((x[0] & 1) != 0) != x_negative) {
    x = negate(x);
  }
  return Point{x, y, field_one, multiply(x, y)};
}

// y little-endian, the low bit of x as the top bit.
std::array<std::uint8_t, 32> encode_point(const Point& p) {
  const Field z_inverse = power(p.z, exponent_inverse);
  const Field x = multiply(p.x, z_inverse);
  const Field y = multiply(p.y, z_inverse);
  std::array<std::uint8_t, 32> bytes{};
  for (std::size_t i = 0; i < 32; ++i) {
    bytes[i] = static_cast<std::uint8_t>(y[i / 8] >> (8 * (i % 8)));
  }
  bytes[31] |= static_cast<std::uint8_t>((x[0] & 1) << 7);
  return bytes;
}

// A point of small order is one that the cofactor 8 takes to the identity.
bool has_small_order(const Point& p) {
  const Point times_eight = point_double(point_double(point_double(p)));
  return times_eight.x == field_zero && times_eight.y == times_eight.z;
}

constexpr std::array<std::uint8_t, 32> base_point_encoding = {
    0x58, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
    0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66};
constexpr Point base_point = decode_point(base_point_encoding).value();

// The group order L, little-endian.
constexpr std::array<std::uint8_t, 32> group_order = {
    0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

// Below L (just above 2^252), which also keeps the top three bits clear.
bool is_canonical_scalar(Scalar s) {
  for (std::size_t i = 32; i-- > 0;) {
    if (s[i] != group_order[i]) {
      return s[i] < group_order[i];
    }
  }
  return false;
}

bool scalar_bit(Scalar s, std::size_t bit) { return ((s[bit / 8] >> (bit % 8)) & 1) != 0; }

// [s]P + [k]Q with one shared run of doublings. Variable time, which is
// fine here: every input of a verification is public.
Point double_scalar_multiply(Scalar s, const Point& p, Scalar k, const Point& q) {
  const Point both = point_add(p, q);
  Point sum = identity;
  for (std::size_t bit = 256; bit-- > 0;) {
    sum = point_double(sum);
    const bool in_s = scalar_bit(s, bit);
    const bool in_k = scalar_bit(k, bit);
    if (in_s && in_k) {
      sum = point_add(sum, both);
    } else if (in_s) {
      sum = point_add(sum, p);
    } else if (in_k) {
      sum = point_add(sum, q);
    }
  }
  return sum;
}

}  // namespace

bool decodes_as_point(Encoding bytes) { return decode_point(bytes).has_value(); }

// 64 little-endian bytes reduced modulo L, one bit at a time from the top:
// r stays below L < 2^253, so 2r + 1 never leaves four limbs.
Bytes32 reduce_scalar(std::span<const std::uint8_t, 64> wide) {
  Field order{};
  for (std::size_t i = 0; i < 32; ++i) {
    order[i / 8] |= std::uint64_t{group_order[i]} << (8 * (i % 8));
  }
  Field r = field_zero;
  for (std::size_t bit = 512; bit-- > 0;) {
    r = add_raw(r, r);
    r[0] |= (wide[bit / 8] >> (bit % 8)) & 1;
    if (at_least(r, order)) {
      r = subtract_raw(r, order);
    }
  }
  std::array<std::uint8_t, 32> bytes{};
  for (std::size_t i = 0; i < 32; ++i) {
    bytes[i] = static_cast<std::uint8_t>(r[i / 8] >> (8 * (i % 8)));
  }
  return bytes;
}

// RFC 8032 section 5.1.7 with the strict rules: S canonical, R a curve
// point, neither R nor A of small order, and the cofactorless equation
// [S]B - [k]A = R compared on R's own bytes. A mixed-order key passes the
// order rule; only the equation decides for it.
bool equation_holds(Signature signature, Encoding key, Scalar k) {
  const Scalar r_bytes = signature.first<32>();
  const Scalar s = signature.last<32>();
  if (!is_canonical_scalar(s)) {
    return false;
  }
  const auto r = decode_point(r_bytes);
  const auto a = decode_point(key);
  if (!r || !a || has_small_order(*r) || has_small_order(*a)) {
    return false;
  }
  const Point candidate = double_scalar_multiply(s, base_point, k, point_negate(*a));
  return std::ranges::equal(encode_point(candidate), r_bytes);
}

}  // namespace kelvoma::ed25519
