// Streaming SHA-512 and SHA-256 (FIPS 180-4) on OpenSSL's libcrypto, which
// uses the processor's vector and SHA instructions: hashing is what bounds
// the time of a verification or an installation.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

struct evp_md_ctx_st;  // OpenSSL's EVP_MD_CTX

namespace kelvoma {

enum class DigestKind { sha256, sha512 };

// A hash in progress. A plain value: a copy hashes on independently of its
// original. Only memory exhaustion makes it fail (std::bad_alloc).
class Digest {
 public:
  explicit Digest(DigestKind kind);
  Digest(const Digest& other);
  Digest& operator=(const Digest& other);
  Digest(Digest&& other) noexcept;
  Digest& operator=(Digest&& other) noexcept;
  ~Digest();

  void update(std::span<const std::uint8_t> bytes);

  // The digest of everything given so far (32 or 64 bytes); more pieces may
  // follow.
  std::vector<std::uint8_t> value() const;

 private:
  evp_md_ctx_st* context_;  // null only once moved from
};

}  // namespace kelvoma
