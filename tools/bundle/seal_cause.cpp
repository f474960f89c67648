#include "bundle/seal_cause.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <span>

#include "bundle/bundle_programs.h"
#include "bundle/seal_difference.h"
#include "install/bundle/info_plist.h"
#include "install/bundle/seal_list.h"
#include "kelvoma/bundle_program.h"
#include "support/publish_support.h"
#include "verify/crypto/signature.h"
#include "verify/crypto/signify.h"

namespace kelvoma::publish {
namespace {

namespace fs = std::filesystem;

// What is at `path`, with no link followed; nothing when it is not there.
std::optional<mode_t> kind_at(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    return std::nullopt;
  }
  return info.st_mode;
}

std::string linked(const std::string& path) {
  return path +
         " je symbolický odkaz; identitu balíčku (Info.plist a program) čte instalace jen ze "
         "souborů a složek, ne přes odkazy, a balíček by odmítla. Nahraď odkaz tím, na co vede, "
         "a balíček znovu zapečeť.";
}

bool signed_by(const signify::PublicKey& key, const signify::Signature& signature,
               std::string_view message) {
  return key.number == signature.number &&
         verify_signature(
             std::span(reinterpret_cast<const std::uint8_t*>(message.data()), message.size()),
             signature.signature, key.key)
             .has_value();
}

std::optional<std::string> read_text(const std::string& path) {
  const auto bytes = read_whole_file(path, max_seal_file_size);
  if (!bytes) {
    return std::nullopt;
  }
  return std::string(bytes->begin(), bytes->end());
}

SealCause no_file(std::string cause, const std::string& path, std::string_view what,
                  std::string_view todo) {
  const auto kind = kind_at(path);
  return {std::move(cause), path,
          "Příčina: " + std::string(what) + " " + path +
              (kind ? " není obyčejný soubor" : " chybí") + "; " + std::string(todo) + "."};
}

constexpr std::string_view seal_again =
    "zapečeť balíček (kelvoma-publish seal) a připoj lístek (kelvoma-publish notarize)";

// The seal: there, of the tool's team, by the key its team is checked with.
std::optional<SealCause> seal_key_cause(const CoreConfig& config, const Tool& tool,
                                        const std::string& path, std::string_view seal) {
  const auto embedded = signify::split_embedded(seal);
  if (!embedded) {
    return SealCause{
        "seal-unreadable", path,
        "Příčina: " + path + " není pečeť ve formátu signify; " + std::string(seal_again) + "."};
  }
  const auto team = std::ranges::find(config.team_keys, tool.team_id, &TeamKey::team);
  const auto key =
      team != config.team_keys.end() ? signify::decode_public_key(team->public_key) : std::nullopt;
  if (!key || !signed_by(*key, embedded->signature, embedded->message)) {
    return SealCause{"seal-key", path,
                     "Příčina: pečeť " + path + " je týmu " + tool.team_id +
                         ", ale podepsal ji jiný klíč, než s jakým se pečeť týmu " + tool.team_id +
                         " kontroluje (--team-key, jinak klíč v tomto sestavení); zapečeť balíček "
                         "tajným klíčem týmu " +
                         tool.team_id + " a připoj lístek (kelvoma-publish notarize)."};
  }
  return std::nullopt;
}

std::optional<SealCause> ticket_cause(const CoreConfig& config, const std::string& path,
                                      std::string_view seal) {
  const auto ticket = kind_at(path) && S_ISREG(*kind_at(path)) ? read_text(path) : std::nullopt;
  if (!ticket) {
    return no_file("no-ticket", path, "notářský lístek",
                   "připoj ho (kelvoma-publish notarize) po posledním zapečetění");
  }
  const auto line = signify::key_line(*ticket);
  const auto signature = line ? signify::decode_signature(*line) : std::nullopt;
  const auto notary = signify::decode_public_key(config.notary_key);
  if (!signature || !notary || signature->number != notary->number) {
    return SealCause{"ticket-key", path,
                     "Příčina: lístek " + path +
                         " nepodepsal notářský klíč, s nímž se kontroluje (--notary-key, jinak "
                         "klíč v tomto sestavení); připoj lístek notářským klíčem "
                         "(kelvoma-publish notarize)."};
  }
  if (!signed_by(*notary, *signature, seal)) {
    return SealCause{"ticket-stale", path,
                     "Příčina: lístek " + path +
                         " nepatří k této pečeti (balíček byl po notarizaci znovu zapečetěn); "
                         "připoj nový lístek (kelvoma-publish notarize)."};
  }
  return std::nullopt;
}

std::optional<SealCause> execute_bit_cause(const std::string& bundle) {
  for (const std::string& program : program_paths(bundle)) {
    const std::string path = bundle + "/" + program;
    const auto kind = kind_at(path);
    if (kind && S_ISREG(*kind) && (*kind & S_IXUSR) == 0) {
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(*kind & 07777));
      return SealCause{"execute-bit", path,
                       "Příčina: program " + path + " nemá bit spuštění vlastníka (práva " + mode +
                           "); spusť na něj chmod 0755, balíček znovu zapečeť a připoj lístek."};
    }
  }
  return std::nullopt;
}

}  // namespace

std::vector<std::string> program_paths(const std::string& bundle) {
  std::vector<std::string> paths;
  const auto plist = kind_at(bundle + "/Contents/Info.plist");
  const auto name =
      plist && S_ISREG(*plist) ? read_info_string(bundle, "CFBundleExecutable") : std::nullopt;
  if (!name) {
    return paths;
  }
  for (const std::string& folder : program_folders(bundle, *name)) {
    paths.push_back(bundle_program::place(*name, folder));
  }
  return paths;
}

std::expected<void, std::string> check_identity_not_linked(const std::string& bundle) {
  std::vector<std::string> places{"Contents", "Contents/Info.plist", "Contents/MacOS"};
  for (std::string& program : program_paths(bundle)) {
    places.push_back(std::move(program));
  }
  for (const std::string& place : places) {
    const std::string path = bundle + "/" + place;
    if (const auto kind = kind_at(path); kind && S_ISLNK(*kind)) {
      return std::unexpected(linked(path));
    }
  }
  return {};
}

std::optional<SealCause> seal_cause(const CoreConfig& config, const Tool& tool,
                                    const std::string& bundle) {
  const std::string folder = bundle + "/" + std::string(seal_folder);
  const std::string seal_path = folder + "/CodeSeal";
  const auto kind = kind_at(seal_path);
  const auto seal = kind && S_ISREG(*kind) ? read_text(seal_path) : std::nullopt;
  if (!seal) {
    return no_file("no-seal", seal_path, "balíček není zapečetěný:", std::string(seal_again));
  }
  if (auto team = check_sealed_team(bundle, tool.team_id); !team) {
    return SealCause{"seal-team", seal_path, "Příčina: " + team.error()};
  }
  if (auto key = seal_key_cause(config, tool, seal_path, *seal)) {
    return key;
  }
  if (const auto difference = first_seal_difference(bundle)) {
    return SealCause{"differs", bundle + "/" + difference->substr(0, difference->rfind(" (")),
                     "První rozdíl oproti pečeti: " + *difference + "."};
  }
  if (auto ticket = ticket_cause(config, folder + "/Notarization", *seal)) {
    return ticket;
  }
  return execute_bit_cause(bundle);
}

}  // namespace kelvoma::publish
