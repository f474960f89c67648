#include "commands/verify_command.h"

#include <fcntl.h>

#include <array>
#include <cerrno>
#include <nlohmann/json.hpp>
#include <vector>

#include "bundle/bundle_programs.h"
#include "release/archive_processors.h"
#include "release/catalog_entry.h"
#include "release/release_self_check.h"
#include "support/publish_support.h"
#include "verify/archive_check.h"
#include "verify/manifest.h"
#include "verify/util/unique_fd.h"

namespace kelvoma::publish {

const std::string_view verify_usage_text =
    "  kelvoma-publish verify release.json [ARCHIV] --id ID [--catalog tools.json] [--json]\n"
    "      ověří zveřejněné release.json (a archiv, i procesory jeho programů) jako\n"
    "      instalace nástroje ID; s --json vypíše výsledek jako jeden objekt JSON\n";

namespace {

constexpr std::array<OptionSpec, 3> verify_options{
    {{"--id"}, {"--catalog", false, false}, {"--json", false, false, true}}};

// The archive's size and signature against the release, then the
// processors its programs are for against the release's architectures.
std::expected<void, Failure> verify_archive(const std::string& path, const Release& release,
                                            const Tool& tool) {
  const UniqueFd archive(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!archive) {
    return std::unexpected(Failure{.message = system_failure_text(path, errno), .path = path});
  }
  if (auto verified =
          verify_archive_file(archive.get(), path, release, tool, ArchiveSizeMessage::archive_file);
      !verified) {
    return std::unexpected(
        Failure{.message = path + ": " + verified.error(), .cause = "archive", .path = path});
  }
  const auto carried = archive_processors(archive.get(), path);
  const auto carries = carried ? check_architectures_carried(release.architectures, *carried, path)
                               : std::unexpected(carried.error());
  if (!carries) {
    return std::unexpected(
        Failure{.message = carries.error(), .cause = "architectures", .path = path});
  }
  return {};
}

Outcome verify(std::span<const char* const> arguments) {
  const auto options =
      parse_options(verify_options, arguments, 1, 1, "Chybí cesta k release.json.");
  if (!options) {
    return std::unexpected(options.error());
  }
  const auto catalog =
      options->contains("--catalog") ? std::optional(single(*options, "--catalog")) : std::nullopt;
  const auto tool = catalog_entry(catalog, single(*options, "--id"));
  if (!tool) {
    return fail(tool.error());
  }
  const std::vector<std::string>& paths = options->find("")->second;
  const auto manifest = read_whole_file(paths[0], max_manifest_size);
  if (!manifest) {
    return std::unexpected(Failure{.message = manifest.error(), .path = paths[0]});
  }
  const auto release = verify_release_manifest(*tool, *manifest);
  if (!release) {
    return std::unexpected(Failure{
        .message = paths[0] + ": " + release.error(), .cause = "manifest", .path = paths[0]});
  }
  if (paths.size() == 2) {
    if (auto verified = verify_archive(paths[1], *release, *tool); !verified) {
      return std::unexpected(verified.error());
    }
  }
  if (options->contains("--json")) {
    return nlohmann::ordered_json{{"result", "verified"},
                                  {"exit", 0},
                                  {"manifest",
                                   {{"id", release->id},
                                    {"bundle_id", release->bundle_id},
                                    {"version", release->version},
                                    {"build", release->build},
                                    {"minimum_macos", release->minimum_macos},
                                    {"architectures", release->architectures},
                                    {"archive_url", release->archive_url},
                                    {"archive_size", release->archive_size}}},
                                  {"archive_verified", paths.size() == 2}}
               .dump() +
           "\n";
  }
  const std::string architectures = listed_processors(release->architectures);
  return "Ověřeno " + release->id + " " + release->version + " (" + std::to_string(release->build) +
         "), " + architectures + ", minimální systém " + release->minimum_macos +
         (paths.size() == 2 ? ", podpis archivu platí" : "") + ".\n";
}

}  // namespace

Outcome verify_command(std::span<const char* const> arguments) {
  return with_failure_document(verify(arguments), arguments);
}

}  // namespace kelvoma::publish
