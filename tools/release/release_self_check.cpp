#include "release/release_self_check.h"

#include <unistd.h>

#include <optional>
#include <vector>

#include "install/bundle/bundle.h"
#include "support/publish_support.h"
#include "verify/architecture.h"
#include "verify/manifest.h"

namespace kelvoma::publish {
namespace {

std::string refused(std::string_view step, const std::string& message) {
  return "Kontrola výstupu jako při instalaci selhala (" + std::string(step) + "): " + message;
}

// The first field of the manifest that differs from the unpacked bundle.
std::optional<std::string> differing_field(const Release& release, const BundleFacts& facts) {
  if (release.bundle_id != facts.identifier) {
    return "bundle_id";
  }
  if (release.version != facts.version) {
    return "version";
  }
  if (release.build != facts.build) {
    return "build";
  }
  if (release.minimum_macos != facts.minimum_system) {
    return "minimum_macos";
  }
  if (release.architectures != facts.architectures) {
    return "architectures";
  }
  return std::nullopt;
}

}  // namespace

std::expected<void, std::string> verify_archive_file(int fd, const std::string& shown_as,
                                                     const Release& release, const Tool& tool,
                                                     ArchiveSizeMessage size_message) {
  ReleaseArchiveCheck check(release, tool, size_message);
  const auto received =
      read_in_pieces(fd, max_archive_size, shown_as,
                     [&](std::span<const std::uint8_t> piece) { check.update(piece); });
  if (!received) {
    return std::unexpected(received.error());
  }
  return check.finish(*received);  // past the limit, the size check refuses it
}

std::expected<void, std::string> check_as_installation(const CoreConfig& config, const Tool& tool,
                                                       std::span<const std::uint8_t> manifest,
                                                       int archive_fd, const std::string& unpacked,
                                                       const BundleFacts& facts) {
  const auto release = verify_release_manifest(tool, manifest);
  if (!release) {
    return std::unexpected(refused("release.json", release.error()));
  }
  if (auto verified =
          verify_archive_file(archive_fd, "archiv", *release, tool, ArchiveSizeMessage::download);
      !verified) {
    return std::unexpected(refused("podpis archivu", verified.error()));
  }
  if (const auto field = differing_field(*release, facts)) {
    return std::unexpected(refused("release.json", *field + " nesouhlasí s rozbaleným balíčkem."));
  }
  // Every processor the bundle carries a program for is served.
  CoreConfig machine = config;
  for (const std::string& name : facts.architectures) {
    machine.machine = architecture_named(name).value_or(config.machine);
    if (auto processor = require_supported_architecture(*release, machine); !processor) {
      return std::unexpected(refused("procesor", processor.error()));
    }
  }
  const auto identity = read_bundle_identity(unpacked);
  if (!identity) {
    return std::unexpected(refused("balíček", identity.error()));
  }
  if (identity->identifier != tool.bundle_id || identity->build != release->build) {
    return std::unexpected(refused("balíček", "identita balíčku nesouhlasí s release.json."));
  }
  return {};
}

}  // namespace kelvoma::publish
