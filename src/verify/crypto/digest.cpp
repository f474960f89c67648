#include "verify/crypto/digest.h"

#include <openssl/evp.h>

#include <new>
#include <utility>

namespace kelvoma {
namespace {

// A context that holds a copy of `source`'s state. libcrypto fails here only
// when it cannot allocate.
EVP_MD_CTX* copy_of(const EVP_MD_CTX* source) {
  EVP_MD_CTX* copy = EVP_MD_CTX_new();
  if (copy == nullptr || EVP_MD_CTX_copy_ex(copy, source) != 1) {
    EVP_MD_CTX_free(copy);
    throw std::bad_alloc();
  }
  return copy;
}

}  // namespace

Digest::Digest(DigestKind kind) : context_(EVP_MD_CTX_new()) {
  const EVP_MD* algorithm = kind == DigestKind::sha512 ? EVP_sha512() : EVP_sha256();
  if (context_ == nullptr || EVP_DigestInit_ex(context_, algorithm, nullptr) != 1) {
    EVP_MD_CTX_free(context_);
    throw std::bad_alloc();
  }
}

Digest::Digest(const Digest& other)
    : context_(other.context_ != nullptr ? copy_of(other.context_) : nullptr) {}

Digest& Digest::operator=(const Digest& other) {
  if (this != &other) {
    Digest copy(other);
    std::swap(context_, copy.context_);
  }
  return *this;
}

Digest::Digest(Digest&& other) noexcept : context_(std::exchange(other.context_, nullptr)) {}

Digest& Digest::operator=(Digest&& other) noexcept {
  std::swap(context_, other.context_);
  return *this;
}

Digest::~Digest() { EVP_MD_CTX_free(context_); }

void Digest::update(std::span<const std::uint8_t> bytes) {
  EVP_DigestUpdate(context_, bytes.data(), bytes.size());
}

std::vector<std::uint8_t> Digest::value() const {
  // Finished on a copy, so that this one can take more pieces.
  EVP_MD_CTX* finished = copy_of(context_);
  std::vector<std::uint8_t> digest(EVP_MAX_MD_SIZE);
  unsigned int size = 0;
  const int status = EVP_DigestFinal_ex(finished, digest.data(), &size);
  EVP_MD_CTX_free(finished);
  if (status != 1) {
    throw std::bad_alloc();
  }
  digest.resize(size);
  return digest;
}

}  // namespace kelvoma
