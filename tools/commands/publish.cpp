// kelvoma-publish: the publisher's side of signed releases. It makes the key
// pair whose public half goes into the catalog, and turns a release archive
// and its fields into the signed release.json that the verifier accepts.
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <expected>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "commands/bundle_command.h"
#include "commands/release_command.h"
#include "commands/seal_commands.h"
#include "commands/verify_command.h"
#include "release/archive_processors.h"
#include "release/catalog_entry.h"
#include "signing/release_signing.h"
#include "support/publish_support.h"
#include "support/refusal.h"
#include "verify/crypto/base64.h"
#include "verify/crypto/signature.h"
#include "verify/macos_version.h"
#include "verify/manifest.h"

namespace kelvoma {
namespace {

using publish::derive;
using publish::fail;
using publish::KeyPair;
using publish::load_key;
using publish::Options;
using publish::OptionSpec;
using publish::Outcome;
using publish::parse_build;
using publish::read_whole_file;
using publish::signed_manifest;
using publish::single;
using publish::usage_error;

constexpr std::string_view usage_text =
    "Použití:\n"
    "  kelvoma-publish keygen TAJNÝ_KLÍČ\n"
    "      vytvoří nový pár klíčů: tajný klíč zapíše do souboru (práva 0600, existující\n"
    "      soubor nepřepíše), veřejný klíč pro katalog vypíše\n"
    "  kelvoma-publish public-key TAJNÝ_KLÍČ\n"
    "      vypíše veřejný klíč k tajnému klíči\n"
    "  kelvoma-publish sign-release --key TAJNÝ_KLÍČ --archive ARCHIV --id ID\n"
    "      --bundle-id ID_BALÍČKU --version VERZE --build ČÍSLO --minimum-macos VERZE\n"
    "      --architecture ARCHITEKTURA [--architecture ...] --archive-url ADRESA\n"
    "      [--output release.json]\n"
    "      podepíše archiv a zapíše podepsané informace o verzi (architektury jen ty,\n"
    "      pro které archiv nese program)\n";

// ---- Keys --------------------------------------------------------------

Outcome keygen(const std::string& path) {
  std::array<std::uint8_t, crypto_sign_SEEDBYTES> seed{};
  randombytes_buf(seed.data(), seed.size());
  KeyPair pair;
  derive(pair, seed);
  std::string line = encode_base64(seed) + "\n";
  sodium_memzero(seed.data(), seed.size());
  auto written = publish::create_private_file(path, line);
  sodium_memzero(line.data(), line.size());
  if (!written) {
    return fail(written.error());
  }
  return encode_base64(pair.public_key) + "\n";
}

Outcome public_key(const std::string& path) {
  KeyPair pair;
  if (auto loaded = load_key(path, pair); !loaded) {
    return fail(loaded.error());
  }
  return encode_base64(pair.public_key) + "\n";
}

constexpr std::array<OptionSpec, 11> sign_release_options{{
    {"--key"},
    {"--archive"},
    {"--id"},
    {"--bundle-id"},
    {"--version"},
    {"--build"},
    {"--minimum-macos"},
    {"--architecture", true},
    {"--archive-url"},
    {"--output", false, false},
    {"--catalog", false, false},
}};

// ---- The release -------------------------------------------------------

// The fields from the command line, checked by the rules the verifier applies
// that need no catalog, so that a release is not published only to be refused.
std::expected<Release, std::string> release_from(const Options& options) {
  Release release;
  release.schema = 1;
  release.id = single(options, "--id");
  release.bundle_id = single(options, "--bundle-id");
  release.version = single(options, "--version");
  release.minimum_macos = single(options, "--minimum-macos");
  release.architectures = options.find("--architecture")->second;
  release.archive_url = single(options, "--archive-url");
  auto build = parse_build(single(options, "--build"));
  if (!build) {
    return std::unexpected(build.error());
  }
  release.build = *build;
  if (release.id.empty() || release.bundle_id.empty()) {
    return std::unexpected("Identifikátor nástroje ani balíčku nesmí být prázdný.");
  }
  if (release.version.empty() || release.version.size() > 40) {
    return std::unexpected("Verze musí mít 1 až 40 bajtů.");
  }
  if (!parse_macos_version(release.minimum_macos)) {
    return std::unexpected("Minimální verze macOS musí mít tvar 14, 13.6 nebo 13.6.1.");
  }
  if (!release.archive_url.starts_with("https://") || release.archive_url.size() > 2048) {
    return std::unexpected("Adresa archivu musí začínat https:// a mít nejvýš 2048 bajtů.");
  }
  return release;
}

// With --catalog, what the installation checks against the catalog entry.
std::expected<void, std::string> matches_catalog(const std::string& catalog, const Release& release,
                                                 const KeyPair& pair) {
  const auto tool = publish::catalog_entry(catalog, release.id);
  if (!tool) {
    return std::unexpected(tool.error());
  }
  if (auto key = publish::check_public_key(*tool, encode_base64(pair.public_key)); !key) {
    return key;
  }
  if (auto bundle = publish::check_bundle_id(*tool, release.bundle_id); !bundle) {
    return bundle;
  }
  return publish::check_archive_url(*tool, release.archive_url);
}

Outcome sign_release(std::span<const char* const> arguments) {
  auto options = publish::parse_options(sign_release_options, arguments);
  if (!options) {
    return std::unexpected(options.error());
  }
  auto release = release_from(*options);
  if (!release) {
    return fail(release.error());
  }
  KeyPair pair;
  if (auto loaded = load_key(single(*options, "--key"), pair); !loaded) {
    return fail(loaded.error());
  }
  if (options->contains("--catalog")) {
    if (auto matches = matches_catalog(single(*options, "--catalog"), *release, pair); !matches) {
      return fail(matches.error());
    }
  }
  const auto archive = read_whole_file(single(*options, "--archive"), max_archive_size);
  if (!archive) {
    return fail(archive.error());
  }
  const auto manifest = signed_manifest(pair, *release, *archive);
  if (!manifest) {
    return fail(manifest.error());
  }
  const auto carried = publish::archive_processors(*archive, single(*options, "--archive"));
  if (!carried) {
    return fail(carried.error());
  }
  if (auto carries = publish::check_architectures_carried(release->architectures, *carried,
                                                          single(*options, "--archive"));
      !carries) {
    return fail(carries.error());
  }
  const auto output =
      options->contains("--output") ? single(*options, "--output") : std::string("release.json");
  if (auto written = publish::replace_file(output, *manifest); !written) {
    return fail(written.error());
  }
  return "Zapsáno " + output + ": " + release->id + " " + release->version + " (" +
         std::to_string(release->build) + "), archiv " + std::to_string(release->archive_size) +
         " B.\n";
}

// ---- Dispatch ----------------------------------------------------------

constexpr std::string_view help_usage_text =
    "  kelvoma-publish help [PŘÍKAZ]\n"
    "      vypíše tento návod, s PŘÍKAZEM jen návod k němu (totéž --help za příkazem)\n"
    "  kelvoma-publish --version\n"
    "      vypíše verzi nástroje\n";

// Every command ends with one of these, for scripts and CI.
constexpr std::string_view exit_status_text =
    "Návratový kód: 0 hotovo, 1 odmítnutý vstup (soubor, balíček, disk), 2 chybné použití,\n"
    "  3 selhal krok po síti (spojení, stav HTTP, certifikát), 4 vnitřní chyba nástroje.\n";

std::string command_blocks() {
  return std::string(usage_text) + std::string(publish::bundle_usage_text) +
         std::string(publish::release_usage_text) + std::string(publish::seal_usage_text) +
         std::string(publish::verify_usage_text) + std::string(help_usage_text);
}

std::string full_usage() { return command_blocks() + std::string(exit_status_text); }

// The blocks of the full usage that describe `command`, under its heading.
std::string command_usage(std::string_view command) {
  const std::string all = command_blocks();
  const std::string start = "  kelvoma-publish " + std::string(command);
  std::string usage = "Použití:\n";
  bool inside = false;
  for (std::size_t at = all.find('\n') + 1; at < all.size();) {
    const std::size_t end = all.find('\n', at) + 1;
    const std::string_view line(all.data() + at, end - at);
    if (line.starts_with("  kelvoma-publish ")) {
      inside = line.starts_with(start + " ") || line.starts_with(start + "\n");
    }
    if (inside) {
      usage += line;
    }
    at = end;
  }
  return usage + std::string(exit_status_text);
}

// A key is written to a path, never to what reads as an option: "--help"
// given by mistake must not become a secret key file.
Outcome key_paths(std::span<const char* const> arguments) {
  for (const char* argument : arguments) {
    if (argument[0] == '-') {
      return usage_error(
          publish::refusal("Cesta ke klíči", argument, "název souboru, který nezačíná „-“",
                           "Příkaz žádné volby nemá; jde-li opravdu o takový soubor, napiš ./" +
                               std::string(argument) + "."));
    }
  }
  return std::string();
}

Outcome one_key_file(std::span<const char* const> arguments,
                     Outcome (*command)(const std::string&)) {
  if (arguments.size() != 1) {
    return usage_error("Příkaz potřebuje právě jednu cestu k tajnému klíči.");
  }
  return command(arguments[0]);
}

using Command = Outcome (*)(std::span<const char* const>);

struct CommandEntry {
  std::string_view name;
  Command run;
};

const std::array<CommandEntry, 11> commands{{
    {"keygen",
     [](std::span<const char* const> a) {
       auto paths = key_paths(a);
       return paths ? one_key_file(a, keygen) : paths;
     }},
    {"public-key", [](std::span<const char* const> a) { return one_key_file(a, public_key); }},
    {"sign-release", sign_release},
    {"bundle", publish::bundle_command},
    {"release", publish::release_command},
    {"verify", publish::verify_command},
    {"seal-keygen",
     [](std::span<const char* const> a) {
       auto paths = key_paths(a);
       return paths ? *publish::run_seal_command("seal-keygen", a) : paths;
     }},
    {"seal", [](std::span<const char* const> a) { return *publish::run_seal_command("seal", a); }},
    {"notarize",
     [](std::span<const char* const> a) { return *publish::run_seal_command("notarize", a); }},
    {"seal-list",
     [](std::span<const char* const> a) { return *publish::run_seal_command("seal-list", a); }},
    {"check-bundle",
     [](std::span<const char* const> a) { return *publish::run_seal_command("check-bundle", a); }},
}};

const CommandEntry* find_command(std::string_view name) {
  const auto found = std::find_if(commands.begin(), commands.end(),
                                  [&](const CommandEntry& entry) { return entry.name == name; });
  return found == commands.end() ? nullptr : &*found;
}

Outcome help(std::span<const char* const> arguments) {
  if (arguments.empty()) {
    return full_usage();
  }
  if (arguments.size() == 1 && find_command(arguments[0]) != nullptr) {
    return command_usage(arguments[0]);
  }
  return usage_error("Neznámý příkaz " + std::string(arguments[0]) + ".");
}

Outcome run(std::span<const char* const> arguments) {
  if (arguments.empty()) {
    return usage_error("Chybí příkaz.");
  }
  const std::string_view command = arguments[0];
  const auto rest = arguments.subspan(1);
  if (command == "help" || command == "--help" || command == "-h") {
    return help(rest);
  }
  if (command == "--version") {
    return std::string("kelvoma-publish " KELVOMA_VERSION "\n");
  }
  const CommandEntry* entry = find_command(command);
  if (entry == nullptr) {
    return usage_error("Neznámý příkaz " + std::string(command) + ".");
  }
  // Asked for help, a command does nothing else: no key, no file is written.
  if (publish::asks_for_help(rest)) {
    return command_usage(command);
  }
  return entry->run(rest);
}

}  // namespace
}  // namespace kelvoma

int main(int argc, char** argv) {
  using kelvoma::publish::Exit;
  if (sodium_init() < 0) {
    std::fputs("Knihovnu libsodium se nepodařilo inicializovat.\n", stderr);
    return static_cast<int>(Exit::internal);
  }
  // Archive headers hold local times: the same bundle gives the same bytes
  // in every zone.
  ::setenv("TZ", "UTC0", 1);
  ::tzset();
  const std::span<const char* const> arguments(argv, static_cast<std::size_t>(argc));
  kelvoma::publish::Outcome outcome;
  try {
    outcome = kelvoma::run(arguments.subspan(1));
  } catch (const std::exception& error) {
    outcome = std::unexpected(kelvoma::publish::Failure{
        .message = std::string("Vnitřní chyba nástroje: ") + error.what(), .exit = Exit::internal});
  }
  if (outcome) {
    std::fputs(outcome->c_str(), stdout);
    return static_cast<int>(Exit::done);
  }
  const kelvoma::publish::Failure& failure = outcome.error();
  // With --json the result document is on standard output as well.
  if (!failure.json.empty()) {
    std::fputs(failure.json.c_str(), stdout);
  }
  std::fprintf(stderr, "%s\n", kelvoma::publish::in_czech(failure.message).c_str());
  if (failure.exit == Exit::usage) {
    const std::string_view command = arguments.size() > 1 ? arguments[1] : "";
    const bool known = kelvoma::find_command(command) != nullptr;
    std::fputs((known ? kelvoma::command_usage(command) : kelvoma::full_usage()).c_str(), stderr);
  }
  return static_cast<int>(failure.exit);
}
