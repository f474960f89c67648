// The signature check fed piece by piece, as an archive arrives: the same
// verdicts whatever the pieces, the texts judged when the stream starts, and
// a verdict that can be asked for again.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support/signing.h"
#include "verify/crypto/base64.h"
#include "verify/crypto/signature.h"

namespace kelvoma {
namespace {

constexpr std::string_view bad_key = "Neplatný veřejný klíč.";
constexpr std::string_view bad_key_length = "Neplatná délka klíče.";
constexpr std::string_view bad_signature = "Neplatný podpis.";
constexpr std::string_view bad_signature_length = "Neplatná délka podpisu.";
constexpr std::string_view mismatch = "Podpis vydavatele nesouhlasí. Instalace byla zastavena.";

using Bytes = std::vector<std::uint8_t>;
using Verdict = std::expected<void, std::string>;

Verdict refusal(std::string_view message) { return std::unexpected(std::string(message)); }

Verdict accepted() { return {}; }

Bytes sample(std::size_t size, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  Bytes bytes(size);
  for (auto& byte : bytes) {
    byte = static_cast<std::uint8_t>(random());
  }
  return bytes;
}

void feed(SignatureStream& stream, std::span<const std::uint8_t> message, std::size_t piece) {
  for (std::size_t at = 0; at < message.size(); at += piece) {
    stream.update(message.subspan(at, std::min(piece, message.size() - at)));
  }
}

Verdict streamed(std::span<const std::uint8_t> message, std::size_t piece,
                 std::string_view signature, std::string_view key) {
  auto stream = SignatureStream::start(signature, key);
  if (!stream) {
    return std::unexpected(stream.error());
  }
  feed(*stream, message, piece);
  return stream->finish();
}

class SignatureStreamTest : public ::testing::Test {
 protected:
  fixture::SigningKey key_ = fixture::load_key("orbit-action-dial");
  // Longer than several SHA-512 blocks, and not a multiple of one.
  Bytes message_ = sample(1000, 1);
  std::string signature_ = fixture::sign(key_, message_);
};

// Piece sizes around the hash's 128-byte block and the whole message.
constexpr std::size_t piece_sizes[] = {1, 2, 3, 7, 63, 64, 127, 128, 129, 255, 999, 1000, 4096};

TEST_F(SignatureStreamTest, PiecesOfAnySizeGiveTheOneShotVerdict) {
  Bytes flipped_first = message_;
  flipped_first.front() ^= 0x01;
  Bytes flipped_middle = message_;
  flipped_middle[500] ^= 0x80;
  Bytes flipped_last = message_;
  flipped_last.back() ^= 0x40;
  const Bytes shorter(message_.begin(), message_.end() - 1);
  Bytes longer = message_;
  longer.push_back(0);
  const struct {
    std::string_view why;
    const Bytes& message;
    Verdict verdict;
  } cases[] = {
      {"intact", message_, accepted()},
      {"first byte changed", flipped_first, refusal(mismatch)},
      {"middle byte changed", flipped_middle, refusal(mismatch)},
      {"last byte changed", flipped_last, refusal(mismatch)},
      {"one byte short", shorter, refusal(mismatch)},
      {"one byte more", longer, refusal(mismatch)},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(verify_signature(c.message, signature_, key_.public_key), c.verdict) << c.why;
    for (const std::size_t piece : piece_sizes) {
      EXPECT_EQ(streamed(c.message, piece, signature_, key_.public_key), c.verdict)
          << c.why << ", pieces of " << piece;
    }
  }
}

TEST_F(SignatureStreamTest, EmptyPiecesChangeNothing) {
  auto stream = SignatureStream::start(signature_, key_.public_key);
  ASSERT_TRUE(stream.has_value()) << stream.error();
  stream->update({});
  for (std::size_t at = 0; at < message_.size(); at += 100) {
    stream->update(std::span(message_).subspan(at, 100));
    stream->update({});
  }
  EXPECT_EQ(stream->finish(), accepted());
}

TEST_F(SignatureStreamTest, EmptyMessageNeedsNoUpdate) {
  auto stream = SignatureStream::start(fixture::sign(key_, ""), key_.public_key);
  ASSERT_TRUE(stream.has_value()) << stream.error();
  EXPECT_EQ(stream->finish(), accepted());
  stream->update(fixture::as_bytes("x"));
  EXPECT_EQ(stream->finish(), refusal(mismatch));
}

TEST_F(SignatureStreamTest, VerdictCanBeAskedForAgainAfterMorePieces) {
  auto stream = SignatureStream::start(signature_, key_.public_key);
  ASSERT_TRUE(stream.has_value()) << stream.error();
  const std::span<const std::uint8_t> message(message_);
  stream->update(message.first(600));
  EXPECT_EQ(stream->finish(), refusal(mismatch));
  EXPECT_EQ(stream->finish(), refusal(mismatch));
  stream->update(message.subspan(600));
  EXPECT_EQ(stream->finish(), accepted());
  EXPECT_EQ(stream->finish(), accepted());
  stream->update(message.first(1));
  EXPECT_EQ(stream->finish(), refusal(mismatch));
}

TEST_F(SignatureStreamTest, CopiesHashOnIndependently) {
  auto original = SignatureStream::start(signature_, key_.public_key);
  ASSERT_TRUE(original.has_value()) << original.error();
  const std::span<const std::uint8_t> message(message_);
  original->update(message.first(300));
  SignatureStream copy = *original;
  copy.update(message.subspan(300));
  EXPECT_EQ(copy.finish(), accepted());
  EXPECT_EQ(original->finish(), refusal(mismatch));
  original->update(message.subspan(300));
  EXPECT_EQ(original->finish(), accepted());
}

TEST_F(SignatureStreamTest, LargeMessageInUnevenPieces) {
  const Bytes large = sample(3 * 1048576 + 5, 2);
  const std::string signature = fixture::sign(key_, large);
  Bytes tampered = large;
  tampered[2 * 1048576 + 3] ^= 0x10;
  for (const bool intact : {true, false}) {
    const Bytes& message = intact ? large : tampered;
    auto stream = SignatureStream::start(signature, key_.public_key);
    ASSERT_TRUE(stream.has_value()) << stream.error();
    constexpr std::size_t pieces[] = {1, 4095, 65536, 1048577, 129};
    std::size_t at = 0;
    for (std::size_t i = 0; at < message.size(); ++i) {
      const std::size_t length = std::min(pieces[i % std::size(pieces)], message.size() - at);
      stream->update(std::span(message).subspan(at, length));
      at += length;
    }
    EXPECT_EQ(stream->finish(), intact ? accepted() : refusal(mismatch));
  }
}

// Steps one to five happen in start(), in the one-shot order: a broken key
// is reported even when the signature text is broken too.
TEST_F(SignatureStreamTest, TextsAreJudgedWhenTheStreamStarts) {
  const std::string& key = key_.public_key;
  const std::string& signature = signature_;
  const std::string off_curve =
      encode_base64(Bytes{2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                          0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  const struct {
    std::string_view why;
    std::string signature;
    std::string key;
    std::string_view message;
  } cases[] = {
      {"key not base64", signature, key.substr(1), bad_key},
      {"key with a line break", signature, key.substr(0, 20) + "\n" + key.substr(20), bad_key},
      {"key of 31 bytes", signature, encode_base64(Bytes(31, 9)), bad_key_length},
      {"key of 33 bytes", signature, encode_base64(Bytes(33, 9)), bad_key_length},
      {"key no curve point", signature, off_curve, bad_key},
      {"signature not base64", signature.substr(1), key, bad_signature},
      {"signature of 63 bytes", encode_base64(Bytes(63, 1)), key, bad_signature_length},
      {"signature of 65 bytes", encode_base64(Bytes(65, 1)), key, bad_signature_length},
      {"both broken: key first", "***", key.substr(1), bad_key},
      {"both empty: key length first", "", "", bad_key_length},
      {"off-curve key before a short signature", "", off_curve, bad_key},
  };
  for (const auto& c : cases) {
    const auto stream = SignatureStream::start(c.signature, c.key);
    ASSERT_FALSE(stream.has_value()) << c.why;
    EXPECT_EQ(stream.error(), c.message) << c.why;
    EXPECT_EQ(verify_signature(message_, c.signature, c.key), refusal(c.message)) << c.why;
  }
}

}  // namespace
}  // namespace kelvoma
