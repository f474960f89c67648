#include "verify/archive_check.h"

#include "verify/util/hex.h"

namespace kelvoma {
namespace {

constexpr std::string_view digest_mismatch =
    "Kontrolní součet nebo velikost staženého balíčku nesouhlasí.";
constexpr std::string_view signature_mismatch =
    "Podpis vydavatele nesouhlasí. Instalace byla zastavena.";

std::string_view size_mismatch(ArchiveSizeMessage size_message) {
  return size_message == ArchiveSizeMessage::download ? "Velikost staženého balíčku nesouhlasí."
                                                      : "Velikost archivu nesouhlasí.";
}

// "sha256:" and the 64 lower-case hexadecimal digits of a SHA-256 digest.
std::string sha256_text(std::span<const std::uint8_t> digest) {
  return "sha256:" + lower_hex(digest);
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

ReleaseArchiveCheck::ReleaseArchiveCheck(const Release& release, const Tool& tool,
                                         ArchiveSizeMessage size_message)
    : declared_size_(release.archive_size),
      size_message_(size_message),
      signature_(SignatureStream::start(release.archive_signature, tool.public_key)) {}

void ReleaseArchiveCheck::update(std::span<const std::uint8_t> piece) {
  // Beyond the declared size the verdict is the size's; hashing on would be
  // wasted.
  if (signature_ && seen_ + piece.size() <= declared_size_) {
    signature_->update(piece);
  }
  seen_ += piece.size();
}

std::expected<void, std::string> ReleaseArchiveCheck::finish(std::uint64_t received) const {
  // The size is compared before any cryptography: a truncated or padded file
  // never reaches the signature.
  if (received != declared_size_) {
    return std::unexpected(std::string(size_mismatch(size_message_)));
  }
  if (!signature_) {
    return std::unexpected(signature_.error());
  }
  // What was hashed must be what is installed.
  if (seen_ != received) {
    return std::unexpected(std::string(signature_mismatch));
  }
  return signature_->finish();
}

AssetDigestCheck::AssetDigestCheck(std::uint64_t size, std::string_view digest)
    : declared_size_(size), digest_(digest) {}

void AssetDigestCheck::update(std::span<const std::uint8_t> piece) {
  if (seen_ + piece.size() <= declared_size_) {
    hash_.update(piece);
  }
  seen_ += piece.size();
}

std::expected<void, std::string> AssetDigestCheck::finish(std::uint64_t received) const {
  if (received != declared_size_ || seen_ != received) {
    return std::unexpected(std::string(digest_mismatch));
  }
  if (!equal_ignoring_ascii_case(digest_, sha256_text(hash_.value()))) {
    return std::unexpected(std::string(digest_mismatch));
  }
  return {};
}

std::expected<void, std::string> verify_release_archive(std::span<const std::uint8_t> archive,
                                                        const Release& release, const Tool& tool,
                                                        ArchiveSizeMessage size_message) {
  ReleaseArchiveCheck check(release, tool, size_message);
  if (archive.size() == release.archive_size) {
    check.update(archive);
  }
  return check.finish(archive.size());
}

std::expected<void, std::string> verify_asset_digest(std::span<const std::uint8_t> data,
                                                     std::uint64_t size, std::string_view digest) {
  AssetDigestCheck check(size, digest);
  if (data.size() == size) {
    check.update(data);
  }
  return check.finish(data.size());
}

}  // namespace kelvoma
