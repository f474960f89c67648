#include "fetch/release_host.h"

#include "fetch/fetch.h"
#include "verify/json_record.h"
#include "verify/manifest.h"

namespace kelvoma {
namespace {

namespace record = json_record;
using nlohmann::json;

constexpr std::uint64_t answer_limit = 1048576;
constexpr std::size_t max_version_length = 40;
constexpr std::string_view digest_prefix = "sha256:";
constexpr std::size_t digest_hex_length = 64;

constexpr std::string_view invalid_answer = "Neplatné informace o vydání aplikace.";
constexpr std::string_view no_stable_release = "Není dostupné stabilní vydání aplikace.";
constexpr std::string_view no_package = "Pro tento procesor není dostupný instalační balíček.";
constexpr std::string_view untrusted_package =
    "Instalační balíček nemá důvěryhodný původ nebo kontrolní součet.";

// Assigns a typed reader's value, or keeps its error for the caller.
template <typename T>
bool take(std::expected<T, std::string> value, T& target, std::string& error) {
  if (!value) {
    error = std::move(value.error());
    return false;
  }
  target = std::move(*value);
  return true;
}

std::expected<Asset, std::string> read_asset(const json& value) {
  auto members = record::read_members(
      value, {{"name"}, {"browser_download_url"}, {"digest"}, {"size"}}, record::host_rules);
  if (!members) {
    return std::unexpected(std::move(members.error()));
  }
  const auto& m = *members;
  Asset asset;
  std::string error;
  if (!take(record::text_value(*m[0]), asset.name, error) ||
      !take(record::text_value(*m[1]), asset.browser_download_url, error) ||
      !take(record::text_value(*m[2]), asset.digest, error) ||
      !take(record::unsigned_value(*m[3]), asset.size, error)) {
    return std::unexpected(std::move(error));
  }
  return asset;
}

std::expected<std::vector<Asset>, std::string> read_assets(const json& value) {
  if (!value.is_array()) {
    return std::unexpected(std::string("invalid type: ") + value.type_name() +
                           ", expected an array");
  }
  std::vector<Asset> assets;
  assets.reserve(value.size());
  for (const json& element : value) {
    auto asset = read_asset(element);
    if (!asset) {
      return std::unexpected(std::move(asset.error()));
    }
    assets.push_back(std::move(*asset));
  }
  return assets;
}

// The tag without one leading lower-case "v".
std::string_view version_of(std::string_view tag) {
  if (tag.starts_with('v')) {
    tag.remove_prefix(1);
  }
  return tag;
}

bool is_stable(const GithubRelease& release) {
  const std::string_view version = version_of(release.tag_name);
  return !release.tag_name.empty() && !version.empty() && version.size() <= max_version_length &&
         !release.draft && !release.prerelease;
}

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_digest_form(std::string_view digest) {
  if (digest.size() != digest_prefix.size() + digest_hex_length ||
      !digest.starts_with(digest_prefix)) {
    return false;
  }
  digest.remove_prefix(digest_prefix.size());
  for (const char c : digest) {
    if (!is_hex_digit(c)) {
      return false;
    }
  }
  return true;
}

std::string expected_asset_address(const CoreConfig& config, const Tool& tool,
                                   const std::string& tag, const std::string& name) {
  return config.release_web_base + "/" + tool.github_repository + "/releases/download/" + tag +
         "/" + name;
}

bool is_trusted(const Asset& asset, const std::string& expected_address) {
  return asset.browser_download_url == expected_address && asset.size >= 1 &&
         asset.size <= max_archive_size && is_digest_form(asset.digest);
}

}  // namespace

std::expected<GithubRelease, std::string> parse_github_release(std::string_view text) {
  auto document = record::parse_document(text);
  if (!document) {
    return std::unexpected(std::move(document.error()));
  }
  auto members = record::read_members(
      *document, {{"tag_name"}, {"draft"}, {"prerelease"}, {"assets"}}, record::host_rules);
  if (!members) {
    return std::unexpected(std::move(members.error()));
  }
  const auto& m = *members;
  GithubRelease release;
  std::string error;
  if (!take(record::text_value(*m[0]), release.tag_name, error) ||
      !take(record::bool_value(*m[1]), release.draft, error) ||
      !take(record::bool_value(*m[2]), release.prerelease, error) ||
      !take(read_assets(*m[3]), release.assets, error)) {
    return std::unexpected(std::move(error));
  }
  return release;
}

std::string asset_name_for(const Tool& tool) {
  std::string_view stem = tool.bundle_name;
  while (stem.ends_with(".app")) {
    stem.remove_suffix(4);
  }
  return std::string(stem) + "-x64-mac.zip";
}

std::expected<ExternalRelease, std::string> find_latest_external_release(const CoreConfig& config,
                                                                         const Tool& tool) {
  const std::string query =
      config.release_api_base + "/repos/" + tool.github_repository + "/releases/latest";
  auto answer = fetch_url(config, query, answer_limit);
  if (!answer) {
    return std::unexpected(std::move(answer.error()));
  }
  const auto bytes = answer->bytes();
  auto release = parse_github_release({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
  if (!release) {
    return std::unexpected(std::string(invalid_answer));
  }
  if (!is_stable(*release)) {
    return std::unexpected(std::string(no_stable_release));
  }

  const std::string name = asset_name_for(tool);
  const Asset* chosen = nullptr;
  for (const Asset& asset : release->assets) {
    if (asset.name == name) {
      chosen = &asset;
      break;
    }
  }
  if (chosen == nullptr) {
    return std::unexpected(std::string(no_package));
  }
  if (!is_trusted(*chosen, expected_asset_address(config, tool, release->tag_name, name))) {
    return std::unexpected(std::string(untrusted_package));
  }
  return ExternalRelease{release->tag_name, std::string(version_of(release->tag_name)), *chosen};
}

}  // namespace kelvoma
