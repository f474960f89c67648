// External tools: their latest release on the release host.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "verify/build_config.h"
#include "verify/catalog.h"

namespace kelvoma {

struct Asset {
  std::string name;
  std::string browser_download_url;
  std::string digest;
  std::uint64_t size = 0;
};

struct GithubRelease {
  std::string tag_name;
  bool draft = false;
  bool prerelease = false;
  std::vector<Asset> assets;
};

// The chosen release: its tag, the version text (tag without one leading
// "v") and the asset for this computer, already checked for origin, size and
// digest form.
struct ExternalRelease {
  std::string tag_name;
  std::string version;
  Asset asset;
};

// Reads the latest-release answer (unknown members skipped).
std::expected<GithubRelease, std::string> parse_github_release(std::string_view text);

// bundle_name without its trailing ".app"s, then "-x64-mac.zip".
std::string asset_name_for(const Tool& tool);

std::expected<ExternalRelease, std::string> find_latest_external_release(const CoreConfig& config,
                                                                         const Tool& tool);

}  // namespace kelvoma
