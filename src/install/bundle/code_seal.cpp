#include "install/bundle/code_seal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "install/bundle/elf_header.h"
#include "install/bundle/info_plist.h"
#include "install/bundle/seal_list.h"
#include "install/files/file_io.h"
#include "install/files/file_tree.h"
#include "kelvoma/bundle_program.h"
#include "verify/crypto/signature.h"
#include "verify/crypto/signify.h"
#include "verify/util/system_error.h"
#include "verify/util/unique_fd.h"

namespace kelvoma {
namespace {

// A seal lists a bundle of tens of thousands of entries well within this;
// the bound keeps a hostile one from being read whole into memory.
constexpr std::size_t max_seal_size = 16 * 1024 * 1024;
constexpr std::size_t max_ticket_size = 4096;

std::unexpected<std::string> refuse(std::string_view message) {
  return std::unexpected(std::string(message));
}

// The bytes of a regular file below the bundle, at most `limit` of them.
std::optional<std::string> read_in_bundle(int bundle_fd, const std::string& path,
                                          std::size_t limit) {
  const UniqueFd fd(open_beneath(bundle_fd, path, O_RDONLY | O_NONBLOCK | O_NOCTTY));
  return read_regular_file(fd.get(), limit);
}

// The signify signature holds: the same key number, and Ed25519 with the
// strict rules of the publisher's signatures.
bool signed_by(const signify::PublicKey& key, const signify::Signature& signature,
               std::string_view message) {
  if (key.number != signature.number) {
    return false;
  }
  const auto bytes =
      std::span(reinterpret_cast<const std::uint8_t*>(message.data()), message.size());
  return verify_signature(bytes, signature.signature, key.key).has_value();
}

std::optional<signify::PublicKey> team_key(const CoreConfig& config, const std::string& team) {
  const auto found = std::ranges::find(config.team_keys, team, &TeamKey::team);
  if (found == config.team_keys.end()) {
    return std::nullopt;
  }
  return signify::decode_public_key(found->public_key);
}

std::expected<void, std::string> verify_seal(const CoreConfig& config, int bundle_fd,
                                             const Tool& tool, std::string_view seal) {
  const auto key = team_key(config, tool.team_id);
  const auto embedded = signify::split_embedded(seal);
  if (!key || !embedded || !signed_by(*key, embedded->signature, embedded->message)) {
    return refuse(seal_refused);
  }
  if (!seal_list_matches(bundle_fd, embedded->message, tool.bundle_id, tool.team_id)) {
    return refuse(seal_refused);
  }
  return {};
}

// The seal's folder holds CodeSeal, at most Notarization beside it, and
// nothing else, each a regular file: the list leaves this folder out, so
// anything more here would ship unsealed.
std::expected<void, std::string> check_seal_folder(int bundle_fd) {
  const UniqueFd folder(open_beneath(bundle_fd, std::string(seal_folder), O_RDONLY | O_DIRECTORY));
  if (!folder) {
    // Without openat2 (Linux before 5.6, or a seccomp filter refusing it) no
    // bundle can be checked: say why rather than call a good one tampered.
    if (errno == ENOSYS || errno == EPERM) {
      return std::unexpected(system_error_text(errno));
    }
    return refuse(seal_refused);
  }
  bool has_seal = false;
  for (const std::string& name : folder_names(folder.get())) {
    struct stat info {};
    if ((name != "CodeSeal" && name != "Notarization") ||
        ::fstatat(folder.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode)) {
      return refuse(seal_refused);
    }
    has_seal = has_seal || name == "CodeSeal";
  }
  if (!has_seal) {
    return refuse(seal_refused);
  }
  return {};
}

// The program of the bundle for `machine` (bundle_program.h), opened below
// the bundle with no link followed on the way.
UniqueFd open_program(int bundle_fd, Architecture machine) {
  const auto plist = InfoPlist::read_at(bundle_fd);
  const auto name = plist ? plist->string("CFBundleExecutable") : std::nullopt;
  if (!name || !bundle_program::is_program_name(*name)) {
    return UniqueFd();
  }
  const std::string place =
      bundle_program::place_for(bundle_fd, "", *name, architecture_name(machine));
  return UniqueFd(open_beneath(bundle_fd, place, O_RDONLY | O_NONBLOCK | O_NOCTTY));
}

std::expected<void, std::string> require_program_for(const ElfHeader& header,
                                                     Architecture machine) {
  const auto architecture = elf_architecture(header);
  if (architecture != machine) {
    return std::unexpected(program_for_other_processor(
        architecture ? "procesor " + std::string(architecture_name(*architecture))
                     : "jiný procesor (stroj ELF " + std::to_string(header.machine) + ")",
        machine));
  }
  switch (elf_role(header)) {
    case ElfRole::program:
      return {};
    case ElfRole::shared_library:
      return refuse(program_is_library);
    case ElfRole::other:
      break;
  }
  return refuse(ticket_refused);
}

std::expected<void, std::string> verify_ticket(const CoreConfig& config, int bundle_fd,
                                               std::string_view seal) {
  const auto notary = signify::decode_public_key(config.notary_key);
  const auto ticket =
      read_in_bundle(bundle_fd, std::string(seal_folder) + "/Notarization", max_ticket_size);
  const auto line = ticket ? signify::key_line(*ticket) : std::nullopt;
  const auto signature = line ? signify::decode_signature(*line) : std::nullopt;
  if (!notary || !signature || !signed_by(*notary, *signature, seal)) {
    return refuse(ticket_refused);
  }
  return check_bundle_program(bundle_fd, config.machine);
}

std::expected<void, std::string> check_links(int bundle_fd) {
  const auto outside = find_outside_link(bundle_fd);
  if (!outside) {
    return refuse(seal_refused);
  }
  if (*outside) {
    return std::unexpected(outside_link_refused(**outside));
  }
  return {};
}

}  // namespace

std::expected<void, std::string> verify_sealed_bundle(const CoreConfig& config,
                                                      const std::string& bundle, const Tool& tool) {
  const UniqueFd bundle_fd(::open(bundle.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!bundle_fd) {
    return refuse(seal_refused);
  }
  if (auto folder = check_seal_folder(bundle_fd.get()); !folder) {
    return folder;
  }
  const auto seal =
      read_in_bundle(bundle_fd.get(), std::string(seal_folder) + "/CodeSeal", max_seal_size);
  if (!seal) {
    return refuse(seal_refused);
  }
  if (auto sealed = verify_seal(config, bundle_fd.get(), tool, *seal); !sealed) {
    return sealed;
  }
  if (auto links = check_links(bundle_fd.get()); !links) {
    return links;
  }
  return verify_ticket(config, bundle_fd.get(), *seal);
}

std::string outside_link_refused(const OutsideLink& link) {
  const std::string path = escape_seal_text(link.path);
  const std::string target = escape_seal_text(link.target);
  const std::string found =
      link.absolute ? "vede na absolutní cestu " + target : "vede ven z aplikace (" + target + ")";
  return "Odkaz " + path + " v aplikaci " + found + "; odkazy smějí vést jen dovnitř aplikace.";
}

std::string program_for_other_processor(std::string_view found, Architecture machine) {
  return "Program aplikace je pro " + std::string(found) + "; tento počítač má procesor " +
         std::string(architecture_name(machine)) + ".";
}

std::expected<void, std::string> check_bundle_program(int bundle_fd, Architecture machine) {
  const UniqueFd fd = open_program(bundle_fd, machine);
  struct stat info {};
  if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      (info.st_mode & S_IXUSR) == 0) {
    return refuse(ticket_refused);
  }
  const auto header = read_elf_header(fd.get());
  if (!header) {
    return refuse(ticket_refused);
  }
  return require_program_for(*header, machine);
}

}  // namespace kelvoma
