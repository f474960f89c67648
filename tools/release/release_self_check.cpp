#include "release/release_self_check.h"

#include "install/bundle/bundle.h"
#include "install/unpack/unpack.h"
#include "verify/archive_check.h"
#include "verify/manifest.h"

namespace kelvoma::publish {
namespace {

std::string refused(std::string_view step, const std::string& message) {
  return "Kontrola výstupu jako při instalaci selhala (" + std::string(step) + "): " + message;
}

}  // namespace

std::expected<void, std::string> check_as_installation(const CoreConfig& config, const Tool& tool,
                                                       std::span<const std::uint8_t> manifest,
                                                       std::span<const std::uint8_t> archive,
                                                       int archive_fd, const std::string& folder) {
  const auto release = verify_release_manifest(tool, manifest);
  if (!release) {
    return std::unexpected(refused("release.json", release.error()));
  }
  if (auto verified = verify_release_archive(archive, *release, tool, ArchiveSizeMessage::download);
      !verified) {
    return std::unexpected(refused("podpis archivu", verified.error()));
  }
  const std::string unpacked = folder + "/unpacked";
  if (auto done = unpack_archive(archive_fd, unpacked); !done) {
    return std::unexpected(refused("rozbalení", done.error()));
  }
  if (auto valid =
          validate_managed_bundle(config, unpacked + "/" + tool.bundle_name, tool, release->build);
      !valid) {
    return std::unexpected(refused("balíček", valid.error()));
  }
  return {};
}

}  // namespace kelvoma::publish
