#include "bundle/bundle_facts.h"

#include "bundle/bundle_programs.h"
#include "install/bundle/info_plist.h"
#include "kelvoma/bundle_program.h"
#include "signing/release_signing.h"
#include "support/refusal.h"
#include "verify/macos_version.h"

namespace kelvoma::publish {
namespace {

// An Info.plist that cannot be read counts as one without the key.
std::expected<std::string, std::string> required(const std::string& bundle,
                                                 const std::expected<InfoPlist, std::string>& info,
                                                 const char* key, std::string_view expected) {
  auto value = info ? info->string(key) : std::nullopt;
  if (!value || value->empty()) {
    return std::unexpected(refusal(std::string(key) + " v " + bundle + "/Contents/Info.plist",
                                   "(chybí)", expected,
                                   "Doplň ho (kelvoma-publish bundle ho zapíše sám)."));
  }
  return std::move(*value);
}

// The facts as far as Info.plist gives them, with the name of the program.
std::expected<BundleFacts, std::string> read_info_facts(const std::string& bundle,
                                                        const std::string& shown_as,
                                                        std::string& executable_name) {
  BundleFacts facts;
  const auto info = InfoPlist::read(bundle);
  const auto identifier = required(shown_as, info, "CFBundleIdentifier", "bundle_id z katalogu");
  const auto version = required(shown_as, info, "CFBundleShortVersionString", "verze, např. 1.4.0");
  const auto build = required(shown_as, info, "CFBundleVersion", "číslo sestavení, např. 140");
  const auto executable =
      required(shown_as, info, "CFBundleExecutable", "název programu v Contents/MacOS");
  for (const auto* value : {&identifier, &version, &build, &executable}) {
    if (!*value) {
      return std::unexpected(value->error());
    }
  }
  facts.identifier = *identifier;
  facts.version = *version;
  if (facts.version.size() > 40) {
    return std::unexpected(refusal("CFBundleShortVersionString", facts.version, "1 až 40 bajtů",
                                   "Zkrať verzi v Info.plist."));
  }
  const auto number = parse_build(*build);
  if (!number) {
    return std::unexpected(refusal("CFBundleVersion", *build,
                                   "celé číslo od 1 do " + std::to_string(max_build),
                                   "Instalace porovnává sestavení jako číslo; oprav Info.plist."));
  }
  facts.build = *number;
  facts.minimum_system =
      (info ? info->string("LSMinimumSystemVersion") : std::nullopt).value_or("1.0");
  if (!parse_macos_version(facts.minimum_system)) {
    return std::unexpected(refusal("LSMinimumSystemVersion", facts.minimum_system,
                                   "verze jádra jako 5.10 nebo 6.1.0",
                                   "Na Linuxu se porovnává s verzí jádra; oprav Info.plist."));
  }
  if (!bundle_program::is_program_name(*executable)) {
    return std::unexpected(refusal("CFBundleExecutable", *executable,
                                   "jeden název souboru v Contents/MacOS", "Oprav Info.plist."));
  }
  executable_name = *executable;
  return facts;
}

}  // namespace

std::expected<BundleFacts, Failure> read_bundle_facts(const std::string& bundle,
                                                      const std::string& shown_as) {
  std::string executable;
  auto facts = read_info_facts(bundle, shown_as, executable);
  if (!facts) {
    return std::unexpected(Failure{.message = facts.error(),
                                   .cause = "info-plist",
                                   .path = shown_as + "/Contents/Info.plist"});
  }
  auto programs = read_bundle_programs(bundle, shown_as, executable, true);
  if (!programs) {
    return std::unexpected(
        Failure{.message = programs.error(),
                .cause = "program",
                .path = shown_as + "/" + std::string(bundle_program::programs_folder)});
  }
  facts->architectures = architectures_of(*programs);
  return std::move(*facts);
}

}  // namespace kelvoma::publish
