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
#include <expected>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "releases/base64.h"
#include "releases/macos_version.h"
#include "releases/manifest.h"
#include "releases/signature.h"
#include "releases/system_error.h"

namespace kelvoma {
namespace {

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

// A failed command: its message, and whether the command line was at fault
// (then the usage text follows the message and the status is 2).
struct Failure {
  std::string message;
  bool usage = false;
};

using Outcome = std::expected<std::string, Failure>;

std::unexpected<Failure> fail(std::string message) {
  return std::unexpected(Failure{std::move(message), false});
}

std::unexpected<Failure> usage_error(std::string message) {
  return std::unexpected(Failure{std::move(message), true});
}

// ---- Files -------------------------------------------------------------

std::expected<std::vector<std::uint8_t>, std::string> read_whole_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return std::unexpected(path + ": " + system_error_text(errno));
  }
  std::vector<std::uint8_t> bytes;
  struct stat status {};
  if (::fstat(fd, &status) == 0 && status.st_size > 0) {
    bytes.reserve(static_cast<std::size_t>(status.st_size));
  }
  std::array<std::uint8_t, 1 << 16> block{};
  while (true) {
    const ssize_t count = ::read(fd, block.data(), block.size());
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0) {
      const int error = errno;
      ::close(fd);
      return std::unexpected(path + ": " + system_error_text(error));
    }
    if (count == 0) {
      break;
    }
    bytes.insert(bytes.end(), block.begin(), block.begin() + count);
  }
  ::close(fd);
  return bytes;
}

// Writes all of `text` to a descriptor, then closes it.
std::expected<void, std::string> write_and_close(int fd, std::string_view text,
                                                 const std::string& path) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written < 0) {
      const int error = errno;
      ::close(fd);
      return std::unexpected(path + ": " + system_error_text(error));
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  if (::close(fd) != 0) {
    return std::unexpected(path + ": " + system_error_text(errno));
  }
  return {};
}

// A new file, readable by its owner only; an existing file is never replaced
// (a lost publisher key cannot be recovered).
std::expected<void, std::string> create_private_file(const std::string& path,
                                                     std::string_view text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    return std::unexpected(path + ": " + system_error_text(errno));
  }
  return write_and_close(fd, text, path);
}

// Replaces `path` only once the new contents are complete.
std::expected<void, std::string> replace_file(const std::string& path, std::string_view text) {
  const std::string temporary = path + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    return std::unexpected(temporary + ": " + system_error_text(errno));
  }
  if (auto written = write_and_close(fd, text, temporary); !written) {
    ::unlink(temporary.c_str());
    return written;
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    return std::unexpected(path + ": " + system_error_text(error));
  }
  return {};
}

// ---- Keys --------------------------------------------------------------

struct KeyPair {
  std::array<std::uint8_t, crypto_sign_SECRETKEYBYTES> secret{};
  std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES> public_key{};

  KeyPair() = default;
  KeyPair(const KeyPair&) = delete;
  KeyPair& operator=(const KeyPair&) = delete;
  ~KeyPair() { sodium_memzero(secret.data(), secret.size()); }
};

void derive(KeyPair& pair, std::span<const std::uint8_t, crypto_sign_SEEDBYTES> seed) {
  crypto_sign_seed_keypair(pair.public_key.data(), pair.secret.data(), seed.data());
}

// The secret key file holds one line: base64 of the 32-byte seed.
std::expected<void, std::string> load_key(const std::string& path, KeyPair& pair) {
  auto bytes = read_whole_file(path);
  if (!bytes) {
    return std::unexpected(bytes.error());
  }
  std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  text = text.substr(0, text.find_first_of("\r\n"));
  auto seed = decode_base64(text);
  sodium_memzero(bytes->data(), bytes->size());
  if (!seed || seed->size() != crypto_sign_SEEDBYTES) {
    return std::unexpected(path + ": tajný klíč není base64 32bajtového semínka Ed25519.");
  }
  derive(pair, std::span<const std::uint8_t, crypto_sign_SEEDBYTES>(*seed));
  sodium_memzero(seed->data(), seed->size());
  return {};
}

std::string sign(const KeyPair& pair, std::span<const std::uint8_t> bytes) {
  std::array<std::uint8_t, crypto_sign_BYTES> signature{};
  crypto_sign_detached(signature.data(), nullptr, bytes.data(), bytes.size(), pair.secret.data());
  return encode_base64(signature);
}

Outcome keygen(const std::string& path) {
  std::array<std::uint8_t, crypto_sign_SEEDBYTES> seed{};
  randombytes_buf(seed.data(), seed.size());
  KeyPair pair;
  derive(pair, seed);
  std::string line = encode_base64(seed) + "\n";
  sodium_memzero(seed.data(), seed.size());
  auto written = create_private_file(path, line);
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

// ---- Options -----------------------------------------------------------

struct OptionSpec {
  std::string_view name;
  bool repeatable = false;
  bool required = true;
};

constexpr std::array<OptionSpec, 10> sign_release_options{{
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
}};

using Options = std::map<std::string, std::vector<std::string>, std::less<>>;

const OptionSpec* find_option(std::string_view name) {
  for (const OptionSpec& spec : sign_release_options) {
    if (spec.name == name) {
      return &spec;
    }
  }
  return nullptr;
}

// "--name value" or "--name=value"; every option at most once unless it is
// repeatable; every required option present.
std::expected<Options, Failure> parse_options(std::span<const char* const> arguments) {
  Options options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string_view argument = arguments[i];
    std::string_view name = argument.substr(0, argument.find('='));
    const OptionSpec* spec = find_option(name);
    if (spec == nullptr) {
      return usage_error(argument.starts_with("--")
                             ? "Neznámá volba " + std::string(name) + "."
                             : "Nečekaný argument " + std::string(argument) + ".");
    }
    std::string value;
    if (name.size() < argument.size()) {
      value = argument.substr(name.size() + 1);
    } else if (i + 1 < arguments.size()) {
      value = arguments[++i];
    } else {
      return usage_error("Volba " + std::string(name) + " potřebuje hodnotu.");
    }
    auto& values = options[std::string(name)];
    if (!values.empty() && !spec->repeatable) {
      return usage_error("Volba " + std::string(name) + " je uvedena dvakrát.");
    }
    values.push_back(std::move(value));
  }
  for (const OptionSpec& spec : sign_release_options) {
    if (spec.required && !options.contains(spec.name)) {
      return usage_error("Chybí volba " + std::string(spec.name) + ".");
    }
  }
  return options;
}

const std::string& single(const Options& options, std::string_view name) {
  return options.find(name)->second.front();
}

// ---- The release -------------------------------------------------------

std::expected<std::uint64_t, std::string> parse_build(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value == 0) {
    return std::unexpected("Číslo sestavení musí být celé číslo od 1 do 18446744073709551615.");
  }
  return value;
}

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

// The payload a publisher signs.
std::expected<std::string, std::string> payload_text(const Release& release) {
  auto payload = release_payload(release);
  if (!payload) {
    // The verifier refuses texts that are not UTF-8 as well.
    return std::unexpected(std::string("Údaje o verzi musí být v kódování UTF-8."));
  }
  return payload;
}

std::string envelope_text(std::string_view payload, std::string_view signature) {
  nlohmann::ordered_json object;
  object["payload"] =
      encode_base64({reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()});
  object["signature"] = signature;
  return object.dump() + "\n";
}

// Signs the archive into the release, then the release into an envelope.
std::expected<std::string, std::string> signed_manifest(const KeyPair& pair, Release& release,
                                                        std::span<const std::uint8_t> archive) {
  if (archive.empty() || archive.size() > max_archive_size) {
    return std::unexpected("Archiv musí mít 1 až 268435456 bajtů, má " +
                           std::to_string(archive.size()) + ".");
  }
  release.archive_size = archive.size();
  release.archive_signature = sign(pair, archive);
  auto payload = payload_text(release);
  if (!payload) {
    return std::unexpected(payload.error());
  }
  const std::string manifest = envelope_text(
      *payload,
      sign(pair, {reinterpret_cast<const std::uint8_t*>(payload->data()), payload->size()}));
  if (manifest.size() > max_manifest_size) {
    return std::unexpected(std::string("Informace o verzi by měly přes 65536 bajtů."));
  }
  return manifest;
}

Outcome sign_release(std::span<const char* const> arguments) {
  auto options = parse_options(arguments);
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
  if (auto written = replace_file(output, *manifest); !written) {
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
  if (command == "help" || command == "--help" || command == "-h") {
    return std::string(usage_text);
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
  const std::span<const char* const> arguments(argv, static_cast<std::size_t>(argc));
  const auto outcome = kelvoma::run(arguments.subspan(1));
  if (outcome) {
    std::fputs(outcome->c_str(), stdout);
    return 0;
  }
  std::fprintf(stderr, "%s\n", outcome.error().message.c_str());
  if (outcome.error().usage) {
    std::fputs(kelvoma::usage_text.data(), stderr);
    return 2;
  }
  return 1;
}
