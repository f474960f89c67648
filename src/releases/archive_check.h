// Checks of downloaded archives against what the publisher declared.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "releases/catalog.h"
#include "releases/manifest.h"

namespace kelvoma {

// Who asks decides the size message: the install pipeline speaks of the
// downloaded package, the verification command of the archive file.
enum class ArchiveSizeMessage { download, archive_file };

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
