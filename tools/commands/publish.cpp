// kelvoma-publish: the publisher's side of signed releases. It makes the key
// pair whose public half goes into the catalog, and turns a release archive
// and its fields into the signed release.json that the verifier accepts.
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

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
#include "release/catalog_entry.h"
#include "signing/release_signing.h"
#include "support/publish_support.h"
#include "verify/crypto/base64.h"
#include "verify/crypto/signature.h"
#include "verify/macos_version.h"
#include "verify/manifest.h"
#include "verify/util/system_error.h"

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
    "      podepíše archiv a zapíše podepsané informace o verzi\n";

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
  const auto archive = read_whole_file(single(*options, "--archive"));
  if (!archive) {
    return fail(archive.error());
  }
  const auto manifest = signed_manifest(pair, *release, *archive);
  if (!manifest) {
    return fail(manifest.error());
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

Outcome one_key_file(std::span<const char* const> arguments,
                     Outcome (*command)(const std::string&)) {
  if (arguments.size() != 1) {
    return usage_error("Příkaz potřebuje právě jednu cestu k tajnému klíči.");
  }
  return command(arguments[0]);
}

Outcome run(std::span<const char* const> arguments) {
  if (arguments.empty()) {
    return usage_error("Chybí příkaz.");
  }
  const std::string_view command = arguments[0];
  const auto rest = arguments.subspan(1);
  if (command == "keygen") {
    return one_key_file(rest, keygen);
  }
  if (command == "public-key") {
    return one_key_file(rest, public_key);
  }
  if (command == "sign-release") {
    return sign_release(rest);
  }
  if (command == "bundle") {
    return publish::bundle_command(rest);
  }
  if (command == "release") {
    return publish::release_command(rest);
  }
  if (auto sealing = publish::run_seal_command(command, rest)) {
    return std::move(*sealing);
  }
  if (command == "help" || command == "--help" || command == "-h") {
    return std::string(usage_text) + std::string(publish::bundle_usage_text) +
           std::string(publish::release_usage_text) + std::string(publish::seal_usage_text);
  }
  return usage_error("Neznámý příkaz " + std::string(command) + ".");
}

}  // namespace
}  // namespace kelvoma

int main(int argc, char** argv) {
  if (sodium_init() < 0) {
    std::fputs("Knihovnu libsodium se nepodařilo inicializovat.\n", stderr);
    return 1;
  }
  // Archive headers hold local times: the same bundle gives the same bytes
  // in every zone.
  ::setenv("TZ", "UTC0", 1);
  ::tzset();
  const std::span<const char* const> arguments(argv, static_cast<std::size_t>(argc));
  const auto outcome = kelvoma::run(arguments.subspan(1));
  if (outcome) {
    std::fputs(outcome->c_str(), stdout);
    return 0;
  }
  std::fprintf(stderr, "%s\n", outcome.error().message.c_str());
  if (outcome.error().usage) {
    std::fputs(kelvoma::usage_text.data(), stderr);
    std::fputs(kelvoma::publish::bundle_usage_text.data(), stderr);
    std::fputs(kelvoma::publish::release_usage_text.data(), stderr);
    std::fputs(kelvoma::publish::seal_usage_text.data(), stderr);
    return 2;
  }
  return 1;
}
