#include "commands/seal_commands.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <filesystem>

#include "bundle/bundle_programs.h"
#include "bundle/link_check.h"
#include "bundle/seal_cause.h"
#include "bundle/seal_difference.h"
#include "bundle/utf8_names.h"
#include "install/bundle/bundle.h"
#include "install/bundle/info_plist.h"
#include "install/bundle/seal_list.h"
#include "kelvoma/bundle_program.h"
#include "signing/trust_keys.h"
#include "support/publish_support.h"
#include "verify/crypto/signify.h"

namespace kelvoma::publish {

const std::string_view seal_usage_text =
    "  kelvoma-publish seal-keygen VEŘEJNÝ_KLÍČ TAJNÝ_KLÍČ\n"
    "      vytvoří pár klíčů ve formátu signify (nešifrovaný, jako signify -n)\n"
    "  kelvoma-publish seal BALÍČEK --team TÝM --key TÝM.sec\n"
    "      zapečetí balíček klíčem týmu (Contents/_CodeSignature/CodeSeal)\n"
    "  kelvoma-publish notarize BALÍČEK --key NOTÁŘ.sec\n"
    "      připojí notářský lístek k pečeti (Contents/_CodeSignature/Notarization)\n"
    "  kelvoma-publish seal-list BALÍČEK --team TÝM\n"
    "      vypíše seznam, který pečeť podepisuje\n"
    "  kelvoma-publish check-bundle BALÍČEK --identifier ID --team TÝM\n"
    "      --team-key TÝM.pub --notary-key NOTÁŘ.pub\n"
    "      ověří pečeť a lístek jako instalace; odmítnutí doplní první příčinou\n";

namespace {

namespace fs = std::filesystem;

struct SecretKey {
  signify::SecretKey key;
  SecretKey() = default;
  SecretKey(const SecretKey&) = delete;
  SecretKey& operator=(const SecretKey&) = delete;
  ~SecretKey() { sodium_memzero(key.key.data(), key.key.size()); }
};

std::string_view as_text(const std::vector<std::uint8_t>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::expected<void, std::string> load_secret_key(const std::string& path, SecretKey& secret) {
  auto bytes = read_whole_file(path, max_key_file_size);
  if (!bytes) {
    return std::unexpected(bytes.error());
  }
  const auto line = signify::key_line(as_text(*bytes));
  auto key = line ? signify::decode_secret_key(*line) : std::nullopt;
  sodium_memzero(bytes->data(), bytes->size());
  if (!key) {
    return std::unexpected(path +
                           ": není nešifrovaný tajný klíč signify (heslem chráněné klíče "
                           "tento nástroj nečte).");
  }
  secret.key = *key;
  sodium_memzero(key->key.data(), key->key.size());
  return {};
}

signify::Signature sign(const SecretKey& secret, std::string_view message) {
  signify::Signature signature{.number = secret.key.number, .signature = {}};
  crypto_sign_detached(signature.signature.data(), nullptr,
                       reinterpret_cast<const std::uint8_t*>(message.data()), message.size(),
                       secret.key.key.data());
  return signature;
}

// signify's comment: the public key that verifies, named after the secret one.
std::string verify_with(const std::string& secret_path) {
  std::string name = fs::path(secret_path).filename().string();
  if (name.ends_with(".sec")) {
    name.resize(name.size() - 4);
  }
  return "verify with " + name + ".pub";
}

Outcome seal_keygen(std::span<const char* const> arguments) {
  if (arguments.size() != 2) {
    return usage_error("Příkaz potřebuje cestu k veřejnému a k tajnému klíči.");
  }
  SecretKey secret;
  signify::PublicKey public_key;
  crypto_sign_keypair(public_key.key.data(), secret.key.key.data());
  randombytes_buf(public_key.number.data(), public_key.number.size());
  secret.key.number = public_key.number;
  std::array<std::uint8_t, 16> salt{};
  randombytes_buf(salt.data(), salt.size());
  std::string secret_text =
      signify::secret_key_file(secret.key, salt, "kelvoma-publish secret key");
  auto written = create_private_file(arguments[1], secret_text);
  sodium_memzero(secret_text.data(), secret_text.size());
  if (!written) {
    return fail(written.error());
  }
  if (auto pub = create_file(arguments[0],
                             signify::public_key_file(public_key, "kelvoma-publish public key"));
      !pub) {
    ::unlink(arguments[1]);  // half a pair is of no use
    return fail(pub.error());
  }
  return "Zapsány klíče " + std::string(arguments[0]) + " a " + std::string(arguments[1]) + ".\n";
}

constexpr std::array<OptionSpec, 2> seal_options{{{"--team"}, {"--key"}}};
constexpr std::array<OptionSpec, 1> notarize_options{{{"--key"}}};
constexpr std::array<OptionSpec, 1> seal_list_options{{{"--team"}}};
constexpr std::array<OptionSpec, 4> check_options{
    {{"--identifier"}, {"--team"}, {"--team-key"}, {"--notary-key"}}};

std::string seal_path(const std::string& bundle, std::string_view file) {
  return bundle + "/" + std::string(seal_folder) + "/" + std::string(file);
}

// Whether the seal folder is made when it is missing.
enum class Missing { made, refused };

// The bundle's seal folder held open; a link at the bundle, at Contents or
// at the folder is refused.
std::expected<UniqueFd, std::string> open_seal_folder(const std::string& bundle, Missing missing) {
  const auto bundle_fd = open_folder(AT_FDCWD, bundle, bundle, FolderLink::refused);
  if (!bundle_fd) {
    return std::unexpected(bundle_fd.error());
  }
  const auto contents =
      open_folder(bundle_fd->get(), "Contents", bundle + "/Contents", FolderLink::refused);
  if (!contents) {
    return std::unexpected(contents.error());
  }
  const std::string folder = bundle + "/" + std::string(seal_folder);
  if (missing == Missing::made && ::mkdirat(contents->get(), "_CodeSignature", 0755) != 0 &&
      errno != EEXIST) {
    return std::unexpected(system_failure_text(folder, errno));
  }
  return open_folder(contents->get(), "_CodeSignature", folder, FolderLink::refused);
}

std::expected<void, std::string> write_seal_file(const UniqueFd& folder, const std::string& bundle,
                                                 const std::string& name, std::string_view text) {
  return write_in_folder(folder.get(), bundle + "/" + std::string(seal_folder), name, text, 0644,
                         Existing::replaced);
}

// The list of BUNDLE for --team, naming the bundle's own identifier.
std::expected<std::string, std::string> list_of(const Options& options) {
  const std::string& bundle = single(options, "");
  const auto identifier = read_info_string(bundle, "CFBundleIdentifier");
  if (!identifier) {
    return std::unexpected(bundle + ": Info.plist nemá textový CFBundleIdentifier.");
  }
  return seal_list(bundle, *identifier, single(options, "--team"));
}

Outcome seal_list_command(std::span<const char* const> arguments) {
  const auto options = parse_options(seal_list_options, arguments, 1);
  if (!options) {
    return std::unexpected(options.error());
  }
  auto list = list_of(*options);
  if (!list) {
    return fail(list.error());
  }
  return std::move(*list);
}

// The options of a command that signs, and the secret key of --key.
std::expected<Options, Failure> options_and_key(std::span<const OptionSpec> specs,
                                                std::span<const char* const> arguments,
                                                SecretKey& secret) {
  auto options = parse_options(specs, arguments, 1);
  if (!options) {
    return options;
  }
  if (auto loaded = load_secret_key(single(*options, "--key"), secret); !loaded) {
    return fail(loaded.error());
  }
  return options;
}

Outcome seal(std::span<const char* const> arguments) {
  SecretKey secret;
  const auto options = options_and_key(seal_options, arguments, secret);
  if (!options) {
    return std::unexpected(options.error());
  }
  const std::string& bundle = single(*options, "");
  if (auto identity = check_identity_not_linked(bundle); !identity) {
    return fail(identity.error());
  }
  if (auto inside = check_links_stay_inside(bundle); !inside) {
    return fail(inside.error());
  }
  if (auto names = check_utf8_names(bundle); !names) {
    return fail(names.error());
  }
  // A seal folder from an earlier seal is left out of the list; its ticket
  // would no longer match the new seal.
  const auto folder = open_seal_folder(bundle, Missing::made);
  if (!folder) {
    return fail(folder.error());
  }
  if (::unlinkat(folder->get(), "Notarization", 0) != 0 && errno != ENOENT) {
    return fail(system_failure_text(seal_path(bundle, "Notarization"), errno));
  }
  const auto list = list_of(*options);
  if (!list) {
    return fail(list.error());
  }
  const std::string text =
      signify::signature_file(sign(secret, *list), verify_with(single(*options, "--key"))) + *list;
  if (auto written = write_seal_file(*folder, bundle, "CodeSeal", text); !written) {
    return fail(written.error());
  }
  return "Zapečetěno " + seal_path(bundle, "CodeSeal") + ".\n";
}

Outcome notarize(std::span<const char* const> arguments) {
  SecretKey secret;
  const auto options = options_and_key(notarize_options, arguments, secret);
  if (!options) {
    return std::unexpected(options.error());
  }
  const std::string& bundle = single(*options, "");
  if (auto identity = check_identity_not_linked(bundle); !identity) {
    return fail(identity.error());
  }
  const auto folder = open_seal_folder(bundle, Missing::refused);
  if (!folder) {
    return fail(folder.error());
  }
  const auto seal_bytes = read_whole_file(seal_path(bundle, "CodeSeal"), max_seal_file_size);
  if (!seal_bytes) {
    return fail(seal_bytes.error());
  }
  const std::string ticket = signify::signature_file(sign(secret, as_text(*seal_bytes)),
                                                     verify_with(single(*options, "--key")));
  if (auto written = write_seal_file(*folder, bundle, "Notarization", ticket); !written) {
    return fail(written.error());
  }
  return "Notářský lístek zapsán do " + seal_path(bundle, "Notarization") + ".\n";
}

Outcome check_bundle(std::span<const char* const> arguments) {
  const auto options = parse_options(check_options, arguments, 1);
  if (!options) {
    return std::unexpected(options.error());
  }
  const auto team_key = load_public_key_line(single(*options, "--team-key"));
  const auto notary_key = load_public_key_line(single(*options, "--notary-key"));
  if (!team_key || !notary_key) {
    return fail(team_key ? notary_key.error() : team_key.error());
  }
  const BundleCheck check{.identifier = single(*options, "--identifier"),
                          .team = single(*options, "--team"),
                          .team_key = *team_key,
                          .notary_key = *notary_key};
  const std::string& bundle = single(*options, "");
  if (auto identity = check_identity_not_linked(bundle); !identity) {
    return std::unexpected(Failure{.message = identity.error(), .cause = "identity-link"});
  }
  if (auto team = check_sealed_team(bundle, check.team); !team) {
    return fail(team.error());
  }
  if (auto inside = check_links_stay_inside(bundle); !inside) {
    return fail(inside.error());
  }
  if (auto verified = check_sealed_bundle(bundle, check); !verified) {
    // The user's message, then its cause for the publisher.
    const auto [config, tool] = checked_as(check);
    const auto cause = seal_cause(config, tool, bundle);
    return fail(verified.error() + (cause ? "\n" + cause->text : std::string()));
  }
  return std::string("Pečeť i notářský lístek platí.\n");
}

}  // namespace

std::pair<CoreConfig, Tool> checked_as(const BundleCheck& check) {
  CoreConfig config;
  config.code_trust = CodeTrust::seal;
  config.team_keys = {{.team = check.team, .public_key = check.team_key}};
  config.notary_key = check.notary_key;
  Tool tool;
  tool.bundle_id = check.identifier;
  tool.team_id = check.team;
  return {std::move(config), std::move(tool)};
}

std::expected<void, std::string> check_sealed_bundle(const std::string& bundle,
                                                     const BundleCheck& check) {
  // The installation compares the identifier before the code signature.
  const auto identifier = read_info_string(bundle, "CFBundleIdentifier");
  if (!identifier) {
    return std::unexpected(bundle + ": Info.plist nemá textový CFBundleIdentifier.");
  }
  if (*identifier != check.identifier) {
    return std::unexpected(bundle + ": CFBundleIdentifier v Info.plist je " + *identifier +
                           ", ne " + check.identifier + ".");
  }
  // Every program, each as a Kelvoma for its processor checks it, whatever
  // machine the publisher works on; its execute bit is the installation's
  // to judge, in the installation's words.
  const auto executable = read_info_string(bundle, "CFBundleExecutable");
  if (!executable || !bundle_program::is_program_name(*executable)) {
    return std::unexpected(bundle + ": Info.plist nemá CFBundleExecutable s názvem programu.");
  }
  const auto programs = read_bundle_programs(bundle, bundle, *executable, false);
  if (!programs) {
    return std::unexpected(programs.error());
  }
  const auto [config, tool] = checked_as(check);
  return verify_for_each_processor(config, bundle, tool, architectures_of(*programs));
}

std::optional<Outcome> run_seal_command(std::string_view command,
                                        std::span<const char* const> arguments) {
  if (command == "seal-keygen") {
    return seal_keygen(arguments);
  }
  if (command == "seal") {
    return seal(arguments);
  }
  if (command == "notarize") {
    return notarize(arguments);
  }
  if (command == "seal-list") {
    return seal_list_command(arguments);
  }
  if (command == "check-bundle") {
    return check_bundle(arguments);
  }
  return std::nullopt;
}

}  // namespace kelvoma::publish
