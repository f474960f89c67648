#include "commands/verify_command.h"

#include <fcntl.h>

#include <array>
#include <cerrno>
#include <vector>

#include "bundle/bundle_programs.h"
#include "release/catalog_entry.h"
#include "release/release_self_check.h"
#include "verify/archive_check.h"
#include "verify/manifest.h"
#include "verify/util/system_error.h"
#include "verify/util/unique_fd.h"

namespace kelvoma::publish {

const std::string_view verify_usage_text =
    "  kelvoma-publish verify release.json [ARCHIV] --id ID [--catalog tools.json]\n"
    "      ověří zveřejněné release.json (a archiv) jako instalace nástroje ID\n";

namespace {

constexpr std::array<OptionSpec, 2> verify_options{{{"--id"}, {"--catalog", false, false}}};

}  // namespace

Outcome verify_command(std::span<const char* const> arguments) {
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
    return fail(manifest.error());
  }
  const auto release = verify_release_manifest(*tool, *manifest);
  if (!release) {
    return fail(paths[0] + ": " + release.error());
  }
  if (paths.size() == 2) {
    const UniqueFd archive(::open(paths[1].c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!archive) {
      return fail(paths[1] + ": " + system_error_text(errno));
    }
    if (auto verified = verify_archive_file(archive.get(), paths[1], *release, *tool,
                                            ArchiveSizeMessage::archive_file);
        !verified) {
      return fail(paths[1] + ": " + verified.error());
    }
  }
  const std::string architectures = listed_processors(release->architectures);
  return "Ověřeno " + release->id + " " + release->version + " (" + std::to_string(release->build) +
         "), " + architectures + ", minimální systém " + release->minimum_macos +
         (paths.size() == 2 ? ", podpis archivu platí" : "") + ".\n";
}

}  // namespace kelvoma::publish
