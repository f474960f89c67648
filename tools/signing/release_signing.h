// The publisher's Ed25519 key and what it signs: the archive whole, then the
// release record, wrapped in the envelope that release.json holds.
#pragma once

#include <sodium.h>

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "verify/manifest.h"

namespace kelvoma::publish {

struct KeyPair {
  std::array<std::uint8_t, crypto_sign_SECRETKEYBYTES> secret{};
  std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES> public_key{};

  KeyPair() = default;
  KeyPair(const KeyPair&) = delete;
  KeyPair& operator=(const KeyPair&) = delete;
  ~KeyPair() { sodium_memzero(secret.data(), secret.size()); }
};

void derive(KeyPair& pair, std::span<const std::uint8_t, crypto_sign_SEEDBYTES> seed);

// The secret key file holds one line: base64 of the 32-byte seed.
std::expected<void, std::string> load_key(const std::string& path, KeyPair& pair);

// The base64 text of the detached signature over `bytes`.
std::string sign(const KeyPair& pair, std::span<const std::uint8_t> bytes);

// The largest build a JSON reader holds exactly (2^53-1): a release.json
// read by any tool must say the build the installation compares.
inline constexpr std::uint64_t max_build = (std::uint64_t{1} << 53) - 1;

// The base64 text of the detached signature over the file open as `fd`,
// read twice from its start (Ed25519 hashes the message twice) and never
// held whole; the same signature sign() gives over the file's bytes.
std::expected<std::string, std::string> sign_file(const KeyPair& pair, int fd,
                                                  const std::string& shown_as);

// A build number: decimal, 1 to max_build.
std::expected<std::uint64_t, std::string> parse_build(std::string_view text);

// The envelope text {"payload","signature"} of `payload` signed with `pair`,
// as every signed document of a release is written.
std::string signed_envelope(const KeyPair& pair, std::string_view payload);

// A version users see and the default archive address is made of: one to
// three dot-separated runs of digits ("1", "1.2", "1.2.3").
bool is_dotted_version(std::string_view text);

// Signs the archive into `release` (its size and signature), then the
// release into the envelope text of release.json.
std::expected<std::string, std::string> signed_manifest(const KeyPair& pair, Release& release,
                                                        std::span<const std::uint8_t> archive);

// The same for a release whose archive_size and archive_signature are set.
std::expected<std::string, std::string> signed_manifest(const KeyPair& pair,
                                                        const Release& release);

}  // namespace kelvoma::publish
