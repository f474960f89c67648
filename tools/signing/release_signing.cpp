#include "signing/release_signing.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <limits>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "support/publish_support.h"
#include "support/refusal.h"
#include "verify/crypto/base64.h"

namespace kelvoma::publish {

void derive(KeyPair& pair, std::span<const std::uint8_t, crypto_sign_SEEDBYTES> seed) {
  crypto_sign_seed_keypair(pair.public_key.data(), pair.secret.data(), seed.data());
}

std::expected<void, std::string> load_key(const std::string& path, KeyPair& pair) {
  auto bytes = read_whole_file(path, max_key_file_size);
  if (!bytes) {
    return std::unexpected(bytes.error());
  }
  std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  text = text.substr(0, text.find_first_of("\r\n"));
  auto seed = decode_base64(text);
  sodium_memzero(bytes->data(), bytes->size());
  if (!seed || seed->size() != crypto_sign_SEEDBYTES) {
    return std::unexpected(path + ": tajný klíč není base64 32bajtového semínka Ed25519.");
  }
  derive(pair, std::span<const std::uint8_t, crypto_sign_SEEDBYTES>(*seed));
  sodium_memzero(seed->data(), seed->size());
  return {};
}

std::string sign(const KeyPair& pair, std::span<const std::uint8_t> bytes) {
  std::array<std::uint8_t, crypto_sign_BYTES> signature{};
  crypto_sign_detached(signature.data(), nullptr, bytes.data(), bytes.size(), pair.secret.data());
  return encode_base64(signature);
}

namespace {

// SHA-512 of `prefix` and then the whole file open as `fd`.
std::expected<void, std::string> hash_file(crypto_hash_sha512_state& state,
                                           std::span<const std::uint8_t> prefix, int fd,
                                           const std::string& shown_as, std::uint8_t* digest) {
  crypto_hash_sha512_init(&state);
  crypto_hash_sha512_update(&state, prefix.data(), prefix.size());
  const auto read = read_in_pieces(fd, std::numeric_limits<std::uint64_t>::max(), shown_as,
                                   [&](std::span<const std::uint8_t> piece) {
                                     crypto_hash_sha512_update(&state, piece.data(), piece.size());
                                   });
  if (!read) {
    return std::unexpected(read.error());
  }
  crypto_hash_sha512_final(&state, digest);
  return {};
}

}  // namespace

std::expected<std::string, std::string> sign_file(const KeyPair& pair, int fd,
                                                  const std::string& shown_as) {
  // Ed25519 as RFC 8032 has it: r = H(prefix || M), R = rB,
  // S = r + H(R || A || M) a, with a and prefix from H(seed).
  std::array<std::uint8_t, 64> expanded{};
  crypto_hash_sha512(expanded.data(), pair.secret.data(), crypto_sign_SEEDBYTES);
  expanded[0] &= 248;
  expanded[31] &= 127;
  expanded[31] |= 64;
  std::array<std::uint8_t, 64> wide{};
  std::array<std::uint8_t, 32> scalar{};
  std::array<std::uint8_t, 32> nonce{};
  std::array<std::uint8_t, 32> challenge{};
  std::array<std::uint8_t, 64> signature{};
  crypto_hash_sha512_state state;
  auto hashed = hash_file(state, std::span(expanded).subspan(32), fd, shown_as, wide.data());
  if (hashed) {
    crypto_core_ed25519_scalar_reduce(nonce.data(), wide.data());
    crypto_scalarmult_ed25519_base_noclamp(signature.data(), nonce.data());
    std::array<std::uint8_t, 64> prefix{};
    std::copy_n(signature.begin(), 32, prefix.begin());
    std::copy_n(pair.public_key.begin(), 32, prefix.begin() + 32);
    hashed = hash_file(state, prefix, fd, shown_as, wide.data());
  }
  if (hashed) {
    crypto_core_ed25519_scalar_reduce(challenge.data(), wide.data());
    std::fill(wide.begin(), wide.end(), 0);
    std::copy_n(expanded.begin(), 32, wide.begin());
    crypto_core_ed25519_scalar_reduce(scalar.data(), wide.data());
    crypto_core_ed25519_scalar_mul(challenge.data(), challenge.data(), scalar.data());
    crypto_core_ed25519_scalar_add(signature.data() + 32, challenge.data(), nonce.data());
  }
  sodium_memzero(expanded.data(), expanded.size());
  sodium_memzero(wide.data(), wide.size());
  sodium_memzero(scalar.data(), scalar.size());
  sodium_memzero(nonce.data(), nonce.size());
  if (!hashed) {
    return std::unexpected(hashed.error());
  }
  return encode_base64(signature);
}

std::expected<std::uint64_t, std::string> parse_build(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value == 0 ||
      value > max_build) {
    return std::unexpected(refusal("Číslo sestavení", text,
                                   "celé číslo od 1 do " + std::to_string(max_build),
                                   "Větší čísla čtenáři JSON nepřečtou přesně; zvol menší, např. "
                                   "stoupající pořadí sestavení."));
  }
  return value;
}

bool is_dotted_version(std::string_view text) {
  std::size_t parts = 0;
  while (true) {
    const std::size_t dot = text.find('.');
    const std::string_view part = text.substr(0, dot);
    if (part.empty() || part.find_first_not_of("0123456789") != std::string_view::npos) {
      return false;
    }
    ++parts;
    if (dot == std::string_view::npos) {
      return parts <= 3;
    }
    text.remove_prefix(dot + 1);
  }
}

namespace {

// The payload a publisher signs.
std::expected<std::string, std::string> payload_text(const Release& release) {
  auto payload = release_payload(release);
  if (!payload) {
    // The verifier refuses texts that are not UTF-8 as well.
    return std::unexpected(std::string("Údaje o verzi musí být v kódování UTF-8."));
  }
  return payload;
}

std::string envelope_text(std::string_view payload, std::string_view signature) {
  nlohmann::ordered_json object;
  object["payload"] =
      encode_base64({reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()});
  object["signature"] = signature;
  return object.dump() + "\n";
}

}  // namespace

std::string signed_envelope(const KeyPair& pair, std::string_view payload) {
  return envelope_text(
      payload, sign(pair, {reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()}));
}

std::expected<std::string, std::string> signed_manifest(const KeyPair& pair, Release& release,
                                                        std::span<const std::uint8_t> archive) {
  if (archive.empty() || archive.size() > max_archive_size) {
    return std::unexpected("Archiv musí mít 1 až 268435456 bajtů, má " +
                           std::to_string(archive.size()) + ".");
  }
  release.archive_size = archive.size();
  release.archive_signature = sign(pair, archive);
  return signed_manifest(pair, std::as_const(release));
}

std::expected<std::string, std::string> signed_manifest(const KeyPair& pair,
                                                        const Release& release) {
  auto payload = payload_text(release);
  if (!payload) {
    return std::unexpected(payload.error());
  }
  const std::string manifest = signed_envelope(pair, *payload);
  if (manifest.size() > max_manifest_size) {
    return std::unexpected(std::string("Informace o verzi by měly přes 65536 bajtů."));
  }
  return manifest;
}

}  // namespace kelvoma::publish
