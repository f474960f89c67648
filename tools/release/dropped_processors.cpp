#include "release/dropped_processors.h"

#include <algorithm>

#include "kelvoma/bundle_program.h"
#include "support/refusal.h"

namespace kelvoma::publish {

std::expected<std::vector<std::string>, std::string> processors_to_drop(
    const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    if (!bundle_program::is_processor(name)) {
      return std::unexpected(refusal("--drop-processor", name, "x86_64 nebo arm64",
                                     "Uveď procesor, jak ho píše release.json."));
    }
  }
  return names;
}

std::expected<void, std::string> check_processors_kept(
    const std::optional<PublishedRelease>& published, const std::vector<std::string>& architectures,
    const std::vector<std::string>& dropped) {
  if (!published) {
    return {};
  }
  for (const std::string& name : published->architectures) {
    const auto listed = [&](const std::vector<std::string>& names) {
      return std::ranges::find(names, name) != names.end();
    };
    if (listed(architectures) || listed(dropped) || !bundle_program::is_processor(name)) {
      continue;
    }
    return std::unexpected(refusal(
        "Procesor " + name, "ve zveřejněném vydání (" + published->where + "), v novém ne",
        "každý procesor zveřejněného vydání",
        "Uživatelé s procesorem " + name +
            " by přestali dostávat aktualizace; přidej do balíčku i program pro " + name +
            " (kelvoma-publish bundle PROGRAM PROGRAM…) a balíček znovu zapečeť, nebo procesor "
            "opusť volbou --drop-processor " +
            name + "."));
  }
  return {};
}

}  // namespace kelvoma::publish
