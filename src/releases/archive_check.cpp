#include "releases/archive_check.h"

#include <sodium.h>

#include <array>

#include "releases/signature.h"

namespace kelvoma {
namespace {

constexpr std::string_view digest_mismatch =
    "Kontrolní součet nebo velikost staženého balíčku nesouhlasí.";

std::string_view size_mismatch(ArchiveSizeMessage size_message) {
  return size_message == ArchiveSizeMessage::download ? "Velikost staženého balíčku nesouhlasí."
                                                      : "Velikost archivu nesouhlasí.";
}

// "sha256:" and the 64 lower-case hexadecimal digits of the data's SHA-256.
std::string sha256_text(std::span<const std::uint8_t> data) {
  std::array<std::uint8_t, crypto_hash_sha256_BYTES> digest{};
  crypto_hash_sha256(digest.data(), data.data(), data.size());
  std::array<char, crypto_hash_sha256_BYTES * 2 + 1> hex{};
  sodium_bin2hex(hex.data(), hex.size(), digest.data(), digest.size());
  return "sha256:" + std::string(hex.data(), hex.size() - 1);
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::expected<void, std::string> verify_release_archive(std::span<const std::uint8_t> archive,
                                                        const Release& release, const Tool& tool,
                                                        ArchiveSizeMessage size_message) {
  // The size is compared before any cryptography: a truncated or padded file
  // never reaches the signature.
  if (archive.size() != release.archive_size) {
    return std::unexpected(std::string(size_mismatch(size_message)));
  }
  return verify_signature(archive, release.archive_signature, tool.public_key);
}

std::expected<void, std::string> verify_asset_digest(std::span<const std::uint8_t> data,
                                                     std::uint64_t size, std::string_view digest) {
  if (data.size() != size || !equal_ignoring_ascii_case(digest, sha256_text(data))) {
    return std::unexpected(std::string(digest_mismatch));
  }
  return {};
}

}  // namespace kelvoma
