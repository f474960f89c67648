// Edge vectors of the signature check made here, from a fixed seed, so that
// a checkout without the shared vectors still exercises them: the points of
// small order as key and as R, encodings with y >= p, x = 0 with the sign
// bit, S >= L and non-canonical R. Each row carries the verdict of our rules;
// libsodium's crypto_sign_verify_detached must agree on accepting or
// refusing (its answers carry no message: which message is ours alone, and
// so is the key's decoding step).
#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <array>
#include <set>
#include <string>
#include <vector>

#include "verify/crypto/base64.h"
#include "verify/crypto/ed25519_point.h"
#include "verify/crypto/signature.h"

namespace kelvoma {
namespace {

constexpr std::string_view bad_key = "Neplatný veřejný klíč.";
constexpr std::string_view mismatch = "Podpis vydavatele nesouhlasí. Instalace byla zastavena.";

using Bytes = std::vector<std::uint8_t>;
using Bytes32 = std::array<std::uint8_t, 32>;
using Signature = std::array<std::uint8_t, 64>;

Bytes32 from_hex(std::string_view hex) {
  Bytes32 bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] =
        static_cast<std::uint8_t>(std::stoul(std::string(hex.substr(2 * i, 2)), nullptr, 16));
  }
  return bytes;
}

// Little-endian y (the low 255 bits) with x's sign on top.
Bytes32 encoding(std::uint8_t low_byte, std::uint8_t fill, std::uint8_t top_byte) {
  Bytes32 bytes{};
  bytes.fill(fill);
  bytes[0] = low_byte;
  bytes[31] = top_byte;
  return bytes;
}

// The eight points of small order. On -x^2 + y^2 = 1 + d x^2 y^2 they are
// (0, 1) of order 1, (0, -1) of order 2, (+-sqrt(-1), 0) of order 4 and the
// four (+-x8, +-y8) of order 8, where y8 is the root of
// d y^4 + 2 y^2 - 1 = 0 (from doubling: a point of order 8 doubles to one of
// order 4, whose y is 0). Written as encodings: y = 1, y = p - 1, y = 0 with
// either sign, y8 and p - y8 with either sign. SmallOrderPointsAreTheEight
// checks them with libsodium's group law.
const std::array<Bytes32, 8> small_order_points = {
    encoding(0x01, 0x00, 0x00),
    encoding(0xec, 0xff, 0x7f),
    encoding(0x00, 0x00, 0x00),
    encoding(0x00, 0x00, 0x80),
    from_hex("26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05"),
    from_hex("26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85"),
    from_hex("c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a"),
    from_hex("c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac03fa"),
};

// Encodings that no point has: y not below p = 2^255 - 19, and x = 0 with
// the sign bit set.
const std::vector<std::pair<std::string, Bytes32>> non_canonical_points = {
    {"y = p (would be y = 0)", encoding(0xed, 0xff, 0x7f)},
    {"y = p + 1 (would be the identity)", encoding(0xee, 0xff, 0x7f)},
    {"y = p + 1, sign bit (would be the identity)", encoding(0xee, 0xff, 0xff)},
    {"y = p + 18", encoding(0xff, 0xff, 0x7f) /* 2^255 - 1 */},
    {"x = 0 with the sign bit, y = 1", encoding(0x01, 0x00, 0x80)},
    {"x = 0 with the sign bit, y = p - 1", encoding(0xec, 0xff, 0xff)},
};

// L = 2^252 + 27742317777372353535851937790883648493, little-endian.
constexpr Bytes32 group_order = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                 0xa2, 0xde, 0xf9, 0xde, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

enum class Verdict { accepted, key_refused, signature_refused };

struct EdgeVector {
  std::string name;
  Bytes32 key;
  Signature signature;
  Bytes message;
  Verdict verdict;
};

// a + b for 32-byte little-endian numbers, carry out of the top dropped.
Bytes32 add(const Bytes32& a, const Bytes32& b) {
  Bytes32 sum{};
  unsigned carry = 0;
  for (std::size_t i = 0; i < 32; ++i) {
    carry += a[i] + b[i];
    sum[i] = static_cast<std::uint8_t>(carry);
    carry >>= 8;
  }
  return sum;
}

Bytes32 small_number(std::uint8_t value) {
  Bytes32 bytes{};
  bytes[0] = value;
  return bytes;
}

Signature joined(const Bytes32& r, const Bytes32& s) {
  Signature signature{};
  std::copy(r.begin(), r.end(), signature.begin());
  std::copy(s.begin(), s.end(), signature.begin() + 32);
  return signature;
}

Bytes32 r_of(const Signature& signature) {
  Bytes32 r{};
  std::copy(signature.begin(), signature.begin() + 32, r.begin());
  return r;
}

Bytes32 s_of(const Signature& signature) {
  Bytes32 s{};
  std::copy(signature.begin() + 32, signature.end(), s.begin());
  return s;
}

// k = SHA-512(R, A, M) modulo L, by libsodium.
Bytes32 challenge(const Bytes32& r, const Bytes32& key, const Bytes& message) {
  Bytes input(r.begin(), r.end());
  input.insert(input.end(), key.begin(), key.end());
  input.insert(input.end(), message.begin(), message.end());
  std::array<std::uint8_t, 64> digest{};
  crypto_hash_sha512(digest.data(), input.data(), input.size());
  Bytes32 k{};
  crypto_core_ed25519_scalar_reduce(k.data(), digest.data());
  return k;
}

struct KeyPair {
  Bytes32 public_key;
  Bytes32 scalar;  // a, with A = [a]B
  std::array<std::uint8_t, 64> secret;
};

KeyPair key_pair(std::uint8_t seed_byte) {
  Bytes32 seed{};
  seed.fill(seed_byte);
  KeyPair pair{};
  crypto_sign_seed_keypair(pair.public_key.data(), pair.secret.data(), seed.data());
  crypto_sign_ed25519_sk_to_curve25519(pair.scalar.data(), pair.secret.data());
  return pair;
}

std::vector<EdgeVector> edge_vectors() {
  const KeyPair pair = key_pair(0x4b);
  const Bytes message = {'e', 'd', 'g', 'e', 's'};
  Signature valid{};
  crypto_sign_detached(valid.data(), nullptr, message.data(), message.size(), pair.secret.data());
  const Bytes32 s = s_of(valid);
  const Bytes32 identity = small_order_points[0];
  const Bytes32 zero{};

  std::vector<EdgeVector> vectors;
  auto row = [&](std::string name, const Bytes32& key, const Signature& signature,
                 Verdict verdict) {
    vectors.push_back({.name = std::move(name),
                       .key = key,
                       .signature = signature,
                       .message = message,
                       .verdict = verdict});
  };
  row("the valid signature", pair.public_key, valid, Verdict::accepted);

  for (std::size_t i = 0; i < small_order_points.size(); ++i) {
    const Bytes32& point = small_order_points[i];
    const std::string which = "small-order point " + std::to_string(i);
    // As R, with the signature's S and with S = 0.
    row(which + " as R", pair.public_key, joined(point, s), Verdict::signature_refused);
    row(which + " as R, S = 0", pair.public_key, joined(point, zero), Verdict::signature_refused);
    // As the key: it decodes, so the refusal is the signature's. With R the
    // identity and S = 0, [S]B - [k]A is -[k]A, the identity whenever the
    // key's order divides k: the equation alone would hold.
    row(which + " as key, R the identity, S = 0", point, joined(identity, zero),
        Verdict::signature_refused);
    row(which + " as key, the valid signature", point, valid, Verdict::signature_refused);
  }

  for (const auto& [name, point] : non_canonical_points) {
    row(name + " as key", point, valid, Verdict::key_refused);
    row(name + " as R", pair.public_key, joined(point, s), Verdict::signature_refused);
  }

  // R the identity written as y = p + 1: with S = k a the equation gives
  // the identity, whose encoding is not R's bytes.
  const Bytes32 long_identity = non_canonical_points[1].second;
  Bytes32 ka{};
  const Bytes32 k = challenge(long_identity, pair.public_key, message);
  crypto_core_ed25519_scalar_mul(ka.data(), k.data(), pair.scalar.data());
  row("R the identity as y = p + 1, S = k a", pair.public_key, joined(long_identity, ka),
      Verdict::signature_refused);

  row("S = L", pair.public_key, joined(r_of(valid), group_order), Verdict::signature_refused);
  row("S = L + 1", pair.public_key, joined(r_of(valid), add(group_order, small_number(1))),
      Verdict::signature_refused);
  // S + L satisfies the same equation; only the canonical-S rule refuses it.
  row("S + L", pair.public_key, joined(r_of(valid), add(s, group_order)),
      Verdict::signature_refused);
  Bytes32 high = s;
  high[31] |= 0xe0;
  row("S with its top three bits set", pair.public_key, joined(r_of(valid), high),
      Verdict::signature_refused);
  Bytes32 all_ones{};
  all_ones.fill(0xff);
  row("S = 2^256 - 1", pair.public_key, joined(r_of(valid), all_ones), Verdict::signature_refused);
  return vectors;
}

std::expected<void, std::string> expected_answer(Verdict verdict) {
  switch (verdict) {
    case Verdict::accepted:
      return {};
    case Verdict::key_refused:
      return std::unexpected(std::string(bad_key));
    case Verdict::signature_refused:
      return std::unexpected(std::string(mismatch));
  }
  return {};
}

TEST(SignatureEdgeVectors, OurVerdictsAndLibsodiumAgree) {
  ASSERT_GE(sodium_init(), 0);
  const auto vectors = edge_vectors();
  ASSERT_GE(vectors.size(), 50u);
  for (const EdgeVector& v : vectors) {
    SCOPED_TRACE(v.name);
    const std::string signature = encode_base64(v.signature);
    const std::string key = encode_base64(v.key);
    EXPECT_EQ(verify_signature(v.message, signature, key), expected_answer(v.verdict));
    const bool sodium_accepts = crypto_sign_verify_detached(v.signature.data(), v.message.data(),
                                                            v.message.size(), v.key.data()) == 0;
    EXPECT_EQ(sodium_accepts, v.verdict == Verdict::accepted);
  }
}

// The table's small-order encodings are eight distinct points that eight
// times (three doublings) give the identity, with libsodium's group law.
TEST(SignatureEdgeVectors, SmallOrderPointsAreTheEight) {
  ASSERT_GE(sodium_init(), 0);
  const std::set<Bytes32> distinct(small_order_points.begin(), small_order_points.end());
  EXPECT_EQ(distinct.size(), 8u);
  for (const Bytes32& point : small_order_points) {
    Bytes32 multiple = point;
    for (int doubling = 0; doubling < 3; ++doubling) {
      Bytes32 doubled{};
      ASSERT_EQ(crypto_core_ed25519_add(doubled.data(), multiple.data(), multiple.data()), 0);
      multiple = doubled;
    }
    EXPECT_EQ(multiple, small_order_points[0]);
  }
}

// Our reduction of the challenge modulo L against libsodium's, on the edges
// of the range and on hashes of counting bytes.
TEST(SignatureEdgeVectors, ChallengeReductionMatchesLibsodium) {
  ASSERT_GE(sodium_init(), 0);
  std::vector<std::array<std::uint8_t, 64>> inputs;
  std::array<std::uint8_t, 64> wide{};
  inputs.push_back(wide);  // 0
  std::copy(group_order.begin(), group_order.end(), wide.begin());
  inputs.push_back(wide);  // L
  wide[0] -= 1;
  inputs.push_back(wide);  // L - 1
  wide.fill(0xff);
  inputs.push_back(wide);  // 2^512 - 1
  for (std::uint8_t i = 0; i < 64; ++i) {
    std::array<std::uint8_t, 64> digest{};
    crypto_hash_sha512(digest.data(), &i, 1);
    inputs.push_back(digest);
  }
  for (const auto& input : inputs) {
    Bytes32 theirs{};
    crypto_core_ed25519_scalar_reduce(theirs.data(), input.data());
    EXPECT_EQ(ed25519::reduce_scalar(input), theirs);
  }
}

}  // namespace
}  // namespace kelvoma
