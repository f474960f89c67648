// Checks of downloaded archives against what the publisher declared.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "verify/catalog.h"
#include "verify/crypto/digest.h"
#include "verify/crypto/signature.h"
#include "verify/manifest.h"

namespace kelvoma {

// Who asks decides the size message: the install pipeline speaks of the
// downloaded package, the verification command of the archive file.
enum class ArchiveSizeMessage { download, archive_file };

// A check of an archive that hashes it while it arrives, so that a download
// needs no second pass over its bytes: update() with every piece in order,
// then finish() with the number of bytes the download received, which must
// be those pieces joined (a count that differs from what update() saw is
// refused with the check's mismatch message). finish() keeps the order and
// messages of the one-shot checks below, whatever update() has seen.
class ArchiveStreamCheck {
 public:
  virtual ~ArchiveStreamCheck() = default;
  virtual void update(std::span<const std::uint8_t> piece) = 0;
  virtual std::expected<void, std::string> finish(std::uint64_t received) const = 0;
};

// The release's archive signature with the tool's key. A broken key or
// signature text is only reported by finish(), after the size.
class ReleaseArchiveCheck final : public ArchiveStreamCheck {
 public:
  ReleaseArchiveCheck(const Release& release, const Tool& tool, ArchiveSizeMessage size_message);
  void update(std::span<const std::uint8_t> piece) override;
  std::expected<void, std::string> finish(std::uint64_t received) const override;

 private:
  std::uint64_t declared_size_;
  ArchiveSizeMessage size_message_;
  std::expected<SignatureStream, std::string> signature_;
  std::uint64_t seen_ = 0;
};

// The asset's declared size and SHA-256 digest.
class AssetDigestCheck final : public ArchiveStreamCheck {
 public:
  AssetDigestCheck(std::uint64_t size, std::string_view digest);
  void update(std::span<const std::uint8_t> piece) override;
  std::expected<void, std::string> finish(std::uint64_t received) const override;

 private:
  std::uint64_t declared_size_;
  std::string digest_;
  std::uint64_t seen_ = 0;
  Digest hash_{DigestKind::sha256};
};

// Size first ("Velikost staženého balíčku nesouhlasí." or
// "Velikost archivu nesouhlasí."), then the release's archive signature with
// the tool's key (messages of verify_signature).
std::expected<void, std::string> verify_release_archive(std::span<const std::uint8_t> archive,
                                                        const Release& release, const Tool& tool,
                                                        ArchiveSizeMessage size_message);

// "sha256:" + 64 hex digits (ASCII letters compared without case) of `data`,
// and `data` exactly `size` bytes; otherwise
// "Kontrolní součet nebo velikost staženého balíčku nesouhlasí.".
std::expected<void, std::string> verify_asset_digest(std::span<const std::uint8_t> data,
                                                     std::uint64_t size, std::string_view digest);

}  // namespace kelvoma
