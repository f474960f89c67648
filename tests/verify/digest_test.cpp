// The streaming hashes on libcrypto against libsodium's one-shot SHA-512
// and SHA-256, whatever the pieces. (Copies and repeated verdicts are the
// signature stream's tests.)
#include "verify/crypto/digest.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <random>
#include <vector>

namespace kelvoma {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes sample(std::size_t size, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  Bytes bytes(size);
  for (auto& byte : bytes) {
    byte = static_cast<std::uint8_t>(random());
  }
  return bytes;
}

Bytes oracle(DigestKind kind, std::span<const std::uint8_t> bytes) {
  if (kind == DigestKind::sha512) {
    Bytes digest(crypto_hash_sha512_BYTES);
    crypto_hash_sha512(digest.data(), bytes.data(), bytes.size());
    return digest;
  }
  Bytes digest(crypto_hash_sha256_BYTES);
  crypto_hash_sha256(digest.data(), bytes.data(), bytes.size());
  return digest;
}

void feed(Digest& digest, std::span<const std::uint8_t> bytes, std::size_t piece) {
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    digest.update(bytes.subspan(at, std::min(piece, bytes.size() - at)));
  }
}

struct Case {
  std::string name;
  DigestKind kind;
  std::size_t size;
  std::size_t piece;
};

TEST(Digest, MatchesLibsodiumWhateverThePieces) {
  ASSERT_GE(sodium_init(), 0);
  const Case cases[] = {
      {.name = "SHA-512, empty", .kind = DigestKind::sha512, .size = 0, .piece = 1},
      {.name = "SHA-512, one block less one", .kind = DigestKind::sha512, .size = 127, .piece = 5},
      {.name = "SHA-512, bytes one by one", .kind = DigestKind::sha512, .size = 300, .piece = 1},
      {.name = "SHA-512, odd pieces", .kind = DigestKind::sha512, .size = 100'003, .piece = 4099},
      {.name = "SHA-256, empty", .kind = DigestKind::sha256, .size = 0, .piece = 1},
      {.name = "SHA-256, one block", .kind = DigestKind::sha256, .size = 64, .piece = 64},
      {.name = "SHA-256, odd pieces", .kind = DigestKind::sha256, .size = 100'003, .piece = 61},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes bytes = sample(c.size, c.size);
    Digest digest(c.kind);
    feed(digest, bytes, c.piece);
    EXPECT_EQ(digest.value(), oracle(c.kind, bytes));
  }
}

}  // namespace
}  // namespace kelvoma
