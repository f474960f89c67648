#include "verify/crypto/signify.h"

#include <sodium.h>

#include <algorithm>
#include <vector>

#include "verify/crypto/base64.h"
#include "verify/crypto/digest.h"

namespace kelvoma::signify {
namespace {

constexpr std::string_view comment_prefix = "untrusted comment: ";
constexpr std::string_view algorithm = "Ed";
constexpr std::string_view unencrypted_kdf = "BK";

// signify copies a comment into 1024 bytes with its NUL, and reads a key or
// signature file into 2048 bytes with one.
constexpr std::size_t max_comment_size = 1023;
constexpr std::size_t max_file_size = 2047;

// The base64 line after the comment line, and what follows that line's end.
struct Lines {
  std::string_view base64;
  std::string_view rest;
};

// As signify splits a file: a comment line with a comment, then a base64
// line ended by a newline.
std::optional<Lines> split_lines(std::string_view text) {
  if (!text.starts_with(comment_prefix)) {
    return std::nullopt;
  }
  const std::size_t comment_end = text.find('\n');
  if (comment_end == std::string_view::npos ||
      !valid_comment(text.substr(comment_prefix.size(), comment_end - comment_prefix.size()))) {
    return std::nullopt;
  }
  text.remove_prefix(comment_end + 1);
  const std::size_t line_end = text.find('\n');
  if (line_end == std::string_view::npos) {
    return std::nullopt;
  }
  return Lines{.base64 = text.substr(0, line_end), .rest = text.substr(line_end + 1)};
}

// The decoded bytes when they are `size` long and start with "Ed" and `kdf`.
std::optional<std::vector<std::uint8_t>> decode(std::string_view base64_line, std::size_t size,
                                                std::string_view kdf = {}) {
  auto bytes = decode_base64(base64_line);
  if (!bytes || bytes->size() != size) {
    return std::nullopt;
  }
  const std::string prefix = std::string(algorithm) + std::string(kdf);
  if (!std::equal(prefix.begin(), prefix.end(), bytes->begin())) {
    return std::nullopt;
  }
  return bytes;
}

template <std::size_t N>
std::array<std::uint8_t, N> take(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
  std::array<std::uint8_t, N> out{};
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), N, out.begin());
  return out;
}

// Byte by byte: GCC 12 at -O3 misreads ranged inserts into a growing vector
// as overflows.
void append(std::vector<std::uint8_t>& bytes, std::string_view text) {
  for (const char c : text) {
    bytes.push_back(static_cast<std::uint8_t>(c));
  }
}

void append(std::vector<std::uint8_t>& bytes, std::span<const std::uint8_t> more) {
  for (const std::uint8_t byte : more) {
    bytes.push_back(byte);
  }
}

std::string file_text(std::string_view comment, std::span<const std::uint8_t> bytes) {
  std::string base64 = encode_base64(bytes);
  std::string text;
  // Sized once: a secret key's text passes through here, and a growing
  // string would leave copies of it behind.
  text.reserve(comment_prefix.size() + comment.size() + base64.size() + 2);
  text.append(comment_prefix).append(comment).append("\n").append(base64).append("\n");
  sodium_memzero(base64.data(), base64.size());
  return text;
}

std::array<std::uint8_t, 8> checksum(std::span<const std::uint8_t, 64> secret) {
  Digest digest(DigestKind::sha512);
  digest.update(secret);
  return take<8>(digest.value(), 0);
}

}  // namespace

bool valid_comment(std::string_view comment) {
  // signify reads the comment as a C string: a NUL would end it early.
  return !comment.empty() && comment.size() <= max_comment_size &&
         comment.find_first_of(std::string_view("\0\n", 2)) == std::string_view::npos;
}

std::optional<std::string_view> key_line(std::string_view text) {
  const auto lines = split_lines(text);
  if (!lines || !lines->rest.empty() || text.size() > max_file_size) {
    return std::nullopt;
  }
  return lines->base64;
}

std::optional<PublicKey> decode_public_key(std::string_view base64_line) {
  const auto bytes = decode(base64_line, 42);
  if (!bytes) {
    return std::nullopt;
  }
  return PublicKey{.number = take<8>(*bytes, 2), .key = take<32>(*bytes, 10)};
}

std::optional<Signature> decode_signature(std::string_view base64_line) {
  const auto bytes = decode(base64_line, 74);
  if (!bytes) {
    return std::nullopt;
  }
  return Signature{.number = take<8>(*bytes, 2), .signature = take<64>(*bytes, 10)};
}

std::optional<SecretKey> decode_secret_key(std::string_view base64_line) {
  auto bytes = decode(base64_line, 104, unencrypted_kdf);
  // Rounds other than 0 mean a passphrase-encrypted key.
  if (!bytes ||
      !std::all_of(bytes->begin() + 4, bytes->begin() + 8, [](auto b) { return b == 0; })) {
    return std::nullopt;
  }
  SecretKey key{.number = take<8>(*bytes, 32), .key = take<64>(*bytes, 40)};
  const bool intact = checksum(key.key) == take<8>(*bytes, 24);
  sodium_memzero(bytes->data(), bytes->size());
  if (!intact) {
    sodium_memzero(key.key.data(), key.key.size());
    return std::nullopt;
  }
  return key;
}

std::optional<Embedded> split_embedded(std::string_view text) {
  const auto lines = split_lines(text);
  if (!lines) {
    return std::nullopt;
  }
  const auto signature = decode_signature(lines->base64);
  if (!signature) {
    return std::nullopt;
  }
  return Embedded{.signature = *signature, .message = lines->rest};
}

std::string public_key_file(const PublicKey& key, std::string_view comment) {
  std::vector<std::uint8_t> bytes;
  append(bytes, algorithm);
  append(bytes, key.number);
  append(bytes, key.key);
  return file_text(comment, bytes);
}

std::string secret_key_file(const SecretKey& key, std::span<const std::uint8_t, 16> salt,
                            std::string_view comment) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(104);  // never moved while it holds the key
  append(bytes, algorithm);
  append(bytes, unencrypted_kdf);
  append(bytes, std::array<std::uint8_t, 4>{});  // KDF rounds: none, the key is stored as is
  append(bytes, salt);
  append(bytes, checksum(key.key));
  append(bytes, key.number);
  append(bytes, key.key);
  std::string text = file_text(comment, bytes);
  sodium_memzero(bytes.data(), bytes.size());
  return text;
}

std::string signature_file(const Signature& signature, std::string_view comment) {
  std::vector<std::uint8_t> bytes;
  append(bytes, algorithm);
  append(bytes, signature.number);
  append(bytes, signature.signature);
  return file_text(comment, bytes);
}

}  // namespace kelvoma::signify
