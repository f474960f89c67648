#include "release/previous_release.h"

#include "fetch/fetch.h"
#include "support/publish_support.h"
#include "support/refusal.h"
#include "verify/crypto/base64.h"
#include "verify/manifest.h"

namespace kelvoma::publish {
namespace {

constexpr std::string_view not_published = "Zatím není zveřejněné dostupné vydání.";

// The tool a release.json names, read without its signature: a signature
// that fails because the file is another tool's is not a bad signature.
std::optional<std::string> unverified_id(std::span<const std::uint8_t> manifest) {
  const auto envelope =
      parse_envelope({reinterpret_cast<const char*>(manifest.data()), manifest.size()});
  const auto payload = envelope ? decode_base64(envelope->payload) : std::nullopt;
  const auto release =
      payload ? parse_release({reinterpret_cast<const char*>(payload->data()), payload->size()})
              : std::unexpected(std::string());
  return release ? std::optional(release->id) : std::nullopt;
}

std::expected<std::optional<PublishedRelease>, std::string> release_of(
    const Tool& tool, std::span<const std::uint8_t> manifest, const std::string& where) {
  if (const auto id = unverified_id(manifest); id && *id != tool.id) {
    return std::unexpected(refusal("Zveřejněné vydání (" + where + ")", "vydání nástroje " + *id,
                                   "vydání nástroje " + tool.id,
                                   "Uveď --previous s release.json nástroje " + tool.id + "."));
  }
  const auto release = verify_release_manifest(tool, manifest);
  if (!release) {
    return std::unexpected("Zveřejněné vydání (" + where +
                           ") neprošlo kontrolou: " + release.error() +
                           " Oprav je, nebo uveď --previous se správným release.json.");
  }
  return PublishedRelease{
      .build = release->build, .architectures = release->architectures, .where = where};
}

}  // namespace

std::expected<std::optional<PublishedRelease>, std::string> published_release(
    const CoreConfig& config, const Tool& tool, const PreviousSource& source) {
  if (source.none) {
    return std::nullopt;
  }
  if (source.file) {
    const auto bytes = read_whole_file(*source.file, max_manifest_size);
    if (!bytes) {
      return std::unexpected(bytes.error());
    }
    return release_of(tool, *bytes, *source.file);
  }
  const auto fetched = fetch_url(config, tool.manifest_url, max_manifest_size);
  if (!fetched && fetched.error() == not_published) {
    return std::nullopt;
  }
  if (!fetched) {
    return std::unexpected("Zveřejněné vydání z " + tool.manifest_url +
                           " nelze stáhnout: " + fetched.error() +
                           " Uveď ho jako --previous release.json, nebo (jen když žádné "
                           "není) --no-previous.");
  }
  return release_of(tool, fetched->bytes(), tool.manifest_url);
}

std::expected<void, std::string> check_build_is_newer(std::uint64_t build,
                                                      std::optional<std::uint64_t> published) {
  if (!published || build > *published) {
    return {};
  }
  return std::unexpected(refusal(
      "CFBundleVersion", std::to_string(build), "víc než " + std::to_string(*published),
      "Zveřejněné vydání má sestavení " + std::to_string(*published) +
          " a uživatelům se nabízí jen vyšší; zvyš CFBundleVersion (bundle --build) a balíček "
          "znovu zapečeť."));
}

}  // namespace kelvoma::publish
