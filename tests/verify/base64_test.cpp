#include "verify/crypto/base64.h"

#include <gtest/gtest.h>

#include <numeric>

#include "support/signing.h"

namespace kelvoma {
namespace {

using fixture::to_bytes;

struct EncodeCase {
  std::string_view bytes;
  std::string_view text;
};

// RFC 4648 section 10.
constexpr EncodeCase rfc_vectors[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
};

TEST(Base64, EncodesRfcVectors) {
  for (const auto& [bytes, text] : rfc_vectors) {
    EXPECT_EQ(encode_base64(fixture::as_bytes(bytes)), text) << bytes;
  }
}

TEST(Base64, DecodesRfcVectors) {
  for (const auto& [bytes, text] : rfc_vectors) {
    EXPECT_EQ(decode_base64(text), to_bytes(bytes)) << text;
  }
}

TEST(Base64, RoundTripsEveryByteValueAtEveryLength) {
  std::vector<std::uint8_t> all(256);
  std::iota(all.begin(), all.end(), 0);
  for (std::size_t length = 0; length <= all.size(); length += 1) {
    const std::span<const std::uint8_t> bytes(all.data(), length);
    const auto decoded = decode_base64(encode_base64(bytes));
    ASSERT_TRUE(decoded.has_value()) << length;
    EXPECT_TRUE(std::ranges::equal(*decoded, bytes)) << length;
  }
}

TEST(Base64, DecodesBothAlphabetEnds) {
  EXPECT_EQ(decode_base64("+/+/"), (std::vector<std::uint8_t>{0xfb, 0xff, 0xbf}));
  EXPECT_EQ(decode_base64("AAAA"), (std::vector<std::uint8_t>{0, 0, 0}));
  EXPECT_EQ(decode_base64("zzzz"), (std::vector<std::uint8_t>{0xcf, 0x3c, 0xf3}));
}

struct Refusal {
  std::string_view why;
  std::string_view text;
};

constexpr Refusal refused[] = {
    {"missing both padding characters", "Zg"},
    {"missing one padding character", "Zm8"},
    {"half the padding", "Zg="},
    {"padding where data belongs", "Zm9v===="},
    {"padding in the middle", "Zg==Zm8="},
    {"data after padding", "Zg==Zg"},
    {"padding only", "===="},
    {"three padding characters", "Z==="},
    {"non-zero unused bits before two padding characters", "Zh=="},
    {"non-zero unused bits before one padding character", "Zm9="},
    {"URL-safe minus", "-A=="},
    {"URL-safe underscore", "_A=="},
    {"URL-safe alphabet throughout", "-_-_"},
    {"line feed at the end", "Zm9v\n"},
    {"line feed in the middle", "Zm9v\nZm9v"},
    {"carriage return and line feed", "Zm9v\r\nZm9v"},
    {"space before", " Zm9v"},
    {"space after", "Zm9v "},
    {"space inside", "Zm 9v"},
    {"tab inside", "Zm\t9v"},
    {"NUL inside", std::string_view("Zm\09v", 5)},
    {"non-ASCII letter", "Zm9\xc3\xa1"},
    {"other punctuation", "Zm9*"},
    {"a single character", "Z"},
    // Whitespace that keeps the length a multiple of four: refused for the
    // whitespace itself, not for the length.
    {"spaces between all characters", "Z m 9 v "},
    {"line breaks after the padding", "Zg==\r\n\r\n"},
    {"line break splitting two groups", "Zm9vYmFy\n\n\n\nZm9v"},
    {"tabs inside", "Zm9v\t\t\t\tZg=="},
};

TEST(Base64, RefusesEverythingButStrictPaddedStandardAlphabet) {
  for (const auto& [why, text] : refused) {
    EXPECT_EQ(decode_base64(text), std::nullopt) << why;
  }
}

TEST(Base64, EmptyTextIsNoBytes) { EXPECT_EQ(decode_base64(""), std::vector<std::uint8_t>{}); }

}  // namespace
}  // namespace kelvoma
