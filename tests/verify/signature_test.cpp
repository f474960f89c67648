#include "verify/crypto/signature.h"

#include <gtest/gtest.h>

#include <array>

#include "support/signing.h"
#include "verify/crypto/base64.h"

namespace kelvoma {
namespace {

constexpr std::string_view bad_key = "Neplatný veřejný klíč.";
constexpr std::string_view bad_key_length = "Neplatná délka klíče.";
constexpr std::string_view bad_signature = "Neplatný podpis.";
constexpr std::string_view bad_signature_length = "Neplatná délka podpisu.";
constexpr std::string_view mismatch = "Podpis vydavatele nesouhlasí. Instalace byla zastavena.";

using Bytes = std::vector<std::uint8_t>;
using Point = std::array<std::uint8_t, 32>;

std::expected<void, std::string> refusal(std::string_view message) {
  return std::unexpected(std::string(message));
}

std::expected<void, std::string> accepted() { return {}; }

Bytes from_hex(std::string_view hex) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(
        static_cast<std::uint8_t>(std::stoul(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

Point point(std::string_view hex) {
  Point bytes{};
  const Bytes decoded = from_hex(hex);
  std::copy(decoded.begin(), decoded.end(), bytes.begin());
  return bytes;
}

// Little-endian y with the sign bit of x on top.
Point encoding(std::uint8_t low_byte, std::uint8_t fill, std::uint8_t top_byte) {
  Point bytes{};
  bytes.fill(fill);
  bytes[0] = low_byte;
  bytes[31] = top_byte;
  return bytes;
}

// The group order L, little-endian.
constexpr std::array<std::uint8_t, 32> group_order = {
    0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

class SignatureTest : public ::testing::Test {
 protected:
  fixture::SigningKey key_ = fixture::load_key("orbit-action-dial");
  Bytes message_ = fixture::to_bytes("{\"schema\":1,\"id\":\"orbit-action-dial\"}");
  Bytes signature_ = decode_base64(fixture::sign(key_, message_)).value();
  Bytes public_key_ = decode_base64(key_.public_key).value();

  std::expected<void, std::string> verify(const Bytes& signature) const {
    return verify_signature(message_, encode_base64(signature), key_.public_key);
  }
};

TEST_F(SignatureTest, AcceptsTheSignatureOfTheKey) {
  EXPECT_EQ(verify(signature_), accepted());
  EXPECT_EQ(verify_signature({}, fixture::sign(key_, ""), key_.public_key), accepted());
}

struct KeyCase {
  std::string_view why;
  std::string key;
  std::string_view message;
};

TEST_F(SignatureTest, KeyIsCheckedByBase64LengthAndCurvePoint) {
  const std::string& good = key_.public_key;
  const KeyCase cases[] = {
      {"final padding missing", good.substr(0, good.size() - 1), bad_key},
      {"line break inside", good.substr(0, 20) + "\n" + good.substr(20), bad_key},
      {"URL-safe alphabet", "3xgnvlKJEppVxYG4SW8hAnbo23MrmNWIEmrMX7TjM-U=", bad_key},
      {"surrounding spaces", " " + good + " ", bad_key},
      {"empty", "", bad_key_length},
      {"31 bytes", encode_base64(Bytes(31, 9)), bad_key_length},
      {"33 bytes", encode_base64(Bytes(33, 9)), bad_key_length},
      {"64 bytes", encode_base64(Bytes(64, 9)), bad_key_length},
      {"y = 2 is no curve point", encode_base64(encoding(2, 0, 0)), bad_key},
      {"y = p is not canonical", encode_base64(encoding(0xed, 0xff, 0x7f)), bad_key},
      {"y = p + 1 is not canonical", encode_base64(encoding(0xee, 0xff, 0x7f)), bad_key},
      {"y = 2^255 - 1 is not canonical", encode_base64(encoding(0xff, 0xff, 0x7f)), bad_key},
      {"x = 0 with the sign bit (y = 1)", encode_base64(encoding(1, 0, 0x80)), bad_key},
      {"x = 0 with the sign bit (y = -1)", encode_base64(encoding(0xec, 0xff, 0xff)), bad_key},
  };
  for (const auto& [why, key, message] : cases) {
    EXPECT_EQ(verify_signature(message_, encode_base64(signature_), key), refusal(message)) << why;
  }
}

TEST_F(SignatureTest, SignatureIsCheckedByBase64AndLength) {
  const std::string good = encode_base64(signature_);
  const std::pair<std::string, std::string_view> cases[] = {
      {good.substr(0, good.size() - 1), bad_signature},
      {good.substr(0, 40) + "\n" + good.substr(40), bad_signature},
      {good + "\n", bad_signature},
      {"", bad_signature_length},
      {encode_base64(Bytes(signature_.begin(), signature_.end() - 1)), bad_signature_length},
      {encode_base64(Bytes(65, 1)), bad_signature_length},
      {encode_base64(Bytes(32, 1)), bad_signature_length},
  };
  for (const auto& [signature, message] : cases) {
    EXPECT_EQ(verify_signature(message_, signature, key_.public_key), refusal(message))
        << signature;
  }
}

TEST_F(SignatureTest, KeyIsReportedBeforeTheSignature) {
  const std::string broken_key = key_.public_key.substr(1);
  EXPECT_EQ(verify_signature(message_, "not base64", broken_key), refusal(bad_key));
  EXPECT_EQ(verify_signature(message_, "", ""), refusal(bad_key_length));
  EXPECT_EQ(verify_signature(message_, "***", encode_base64(encoding(2, 0, 0))), refusal(bad_key));
}

TEST_F(SignatureTest, AnySingleFlippedBitIsRefused) {
  for (std::size_t bit = 0; bit < signature_.size() * 8; ++bit) {
    Bytes flipped = signature_;
    flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    EXPECT_EQ(verify(flipped), refusal(mismatch)) << "signature bit " << bit;
  }
  for (std::size_t bit = 0; bit < message_.size() * 8; ++bit) {
    Bytes message = message_;
    message[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    EXPECT_EQ(verify_signature(message, encode_base64(signature_), key_.public_key),
              refusal(mismatch))
        << "message bit " << bit;
  }
}

TEST_F(SignatureTest, NonCanonicalSIsRefused) {
  // S + L satisfies the same equation; only the canonical-S rule refuses it.
  Bytes malleated = signature_;
  unsigned carry = 0;
  for (std::size_t i = 0; i < 32; ++i) {
    const unsigned sum = malleated[32 + i] + group_order[i] + carry;
    malleated[32 + i] = static_cast<std::uint8_t>(sum);
    carry = sum >> 8;
  }
  ASSERT_EQ(carry, 0u);
  EXPECT_EQ(verify(malleated), refusal(mismatch));
}

// The eight points of small order (and their sign-bit twins), as R.
constexpr std::string_view small_order_points[] = {
    "0100000000000000000000000000000000000000000000000000000000000000",
    "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    "0000000000000000000000000000000000000000000000000000000000000000",
    "0000000000000000000000000000000000000000000000000000000000000080",
    "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
    "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85",
    "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",
    "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac03fa",
};

TEST_F(SignatureTest, SmallOrderRIsRefused) {
  for (std::string_view hex : small_order_points) {
    Bytes signature = from_hex(hex);
    signature.insert(signature.end(), signature_.begin() + 32, signature_.end());
    EXPECT_EQ(verify(signature), refusal(mismatch)) << hex;
    // S = 0 makes [S]B - [k]A the point -[k]A; with a small-order key and
    // R the identity the equation can hold, which only the order rule stops.
    std::fill(signature.begin() + 32, signature.end(), 0);
    EXPECT_EQ(verify(signature), refusal(mismatch)) << hex;
  }
}

TEST_F(SignatureTest, SmallOrderKeyDecodesButIsRefused) {
  for (std::string_view hex : small_order_points) {
    const Point key = point(hex);
    EXPECT_TRUE(decodes_as_curve_point(key)) << hex;
    // R = identity and S = 0 satisfy the cofactorless equation for the
    // identity key; the small-order rule is what refuses it.
    Bytes signature = from_hex(small_order_points[0]);
    signature.resize(64, 0);
    EXPECT_EQ(verify_signature(message_, encode_base64(signature), encode_base64(key)),
              refusal(mismatch))
        << hex;
  }
}

TEST_F(SignatureTest, OtherKeySignatureOverBase64TextAndOtherMessageAreRefused) {
  const auto other = fixture::random_key();
  EXPECT_EQ(verify_signature(message_, fixture::sign(other, message_), key_.public_key),
            refusal(mismatch));
  const std::string encoded = encode_base64(message_);
  EXPECT_EQ(verify_signature(message_, fixture::sign(key_, encoded), key_.public_key),
            refusal(mismatch));
  EXPECT_EQ(verify_signature(fixture::to_bytes("{}"), encode_base64(signature_), key_.public_key),
            refusal(mismatch));
}

struct PointCase {
  std::string_view why;
  Point bytes;
  bool decodes;
};

TEST(CurvePoint, DecodingFollowsTheRfc) {
  const PointCase cases[] = {
      {"base point", point("5866666666666666666666666666666666666666666666666666666666666666"),
       true},
      {"base point, other sign",
       point("58666666666666666666666666666666666666666666666666666666666666e6"), true},
      {"identity", encoding(1, 0, 0), true},
      {"order 2 (y = -1)", encoding(0xec, 0xff, 0x7f), true},
      {"order 4 (y = 0)", encoding(0, 0, 0), true},
      {"order 4, other sign", encoding(0, 0, 0x80), true},
      {"order 8", point("26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05"), true},
      {"y = p - 3, the largest canonical y on the curve", encoding(0xea, 0xff, 0x7f), true},
      {"y = 2", encoding(2, 0, 0), false},
      {"y = 7", encoding(7, 0, 0), false},
      {"y = p - 2", encoding(0xeb, 0xff, 0x7f), false},
      {"y = p", encoding(0xed, 0xff, 0x7f), false},
      {"y = p + 1 (would be the identity)", encoding(0xee, 0xff, 0x7f), false},
      {"y = p + 1 with the sign bit", encoding(0xee, 0xff, 0xff), false},
      {"y = 2^255 - 1", encoding(0xff, 0xff, 0x7f), false},
      {"identity with the sign bit", encoding(1, 0, 0x80), false},
      {"y = -1 with the sign bit", encoding(0xec, 0xff, 0xff), false},
  };
  for (const auto& [why, bytes, decodes] : cases) {
    EXPECT_EQ(decodes_as_curve_point(bytes), decodes) << why;
  }
}

TEST(CurvePoint, FixtureKeysDecode) {
  for (const char* name : {"orbit-action-dial", "pane-keeper"}) {
    const Bytes key = decode_base64(fixture::load_key(name).public_key).value();
    ASSERT_EQ(key.size(), 32u);
    EXPECT_TRUE(decodes_as_curve_point(std::span<const std::uint8_t, 32>(key.data(), 32))) << name;
  }
}

}  // namespace
}  // namespace kelvoma
