#include "fetch/update_check.h"

#include "fetch/fetch.h"
#include "verify/macos_version.h"

namespace kelvoma {

std::expected<Release, std::string> check_release(const CoreConfig& config, const Tool& tool,
                                                  std::string_view os_version) {
  if (tool.integration == Integration::external) {
    // Checked before any transfer: such a tool publishes no manifest at all.
    return std::unexpected(std::string("Aktualizace spravuje samotná aplikace."));
  }
  auto manifest = fetch_url(config, tool.manifest_url, max_manifest_size);
  if (!manifest) {
    return std::unexpected(std::move(manifest.error()));
  }
  auto release = verify_release_manifest(tool, manifest->bytes());
  if (!release) {
    return std::unexpected(std::move(release.error()));
  }
  if (auto supported = require_supported_architecture(*release, config); !supported) {
    return std::unexpected(std::move(supported.error()));
  }
  if (auto recent = require_minimum_macos(release->minimum_macos, os_version, config.code_trust);
      !recent) {
    return std::unexpected(std::move(recent.error()));
  }
  return release;
}

}  // namespace kelvoma
