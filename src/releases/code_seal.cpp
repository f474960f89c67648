#include "releases/code_seal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "releases/base64.h"
#include "releases/bundle.h"
#include "releases/elf_check.h"
#include "releases/regular_file.h"
#include "releases/seal_list.h"
#include "releases/signature.h"
#include "releases/signify.h"
#include "releases/unique_fd.h"

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
  const UniqueFd fd(open_in_bundle(bundle_fd, path, O_RDONLY | O_NONBLOCK | O_NOCTTY));
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
  return verify_signature(bytes, encode_base64(signature.signature), encode_base64(key.key))
      .has_value();
}

std::optional<signify::PublicKey> team_key(const CoreConfig& config, const std::string& team) {
  const auto found = std::ranges::find(config.team_keys, team, &TeamKey::team);
  if (found == config.team_keys.end()) {
    return std::nullopt;
  }
  return signify::decode_public_key(found->public_key);
}

// The tree below the bundle prints exactly `entries`; the walk stops at the
// first line that differs, before hashing any more files.
bool tree_matches(int bundle_fd, std::string_view entries) {
  const auto walked = write_seal_entries(bundle_fd, [&](std::string_view line) {
    if (!entries.starts_with(line)) {
      return false;
    }
    entries.remove_prefix(line.size());
    return true;
  });
  return walked && *walked && entries.empty();
}

std::expected<void, std::string> verify_seal(const CoreConfig& config, int bundle_fd,
                                             const Tool& tool, std::string_view seal) {
  const auto key = team_key(config, tool.team_id);
  const auto embedded = signify::split_embedded(seal);
  if (!key || !embedded || !signed_by(*key, embedded->signature, embedded->message)) {
    return refuse(seal_refused);
  }
  const std::string header = seal_header(tool.bundle_id, tool.team_id);
  if (!embedded->message.starts_with(header) ||
      !tree_matches(bundle_fd, embedded->message.substr(header.size()))) {
    return refuse(seal_refused);
  }
  return {};
}

// CFBundleExecutable names one regular file in Contents/MacOS, opened
// without following links, that this computer can run.
bool executable_runs_here(int bundle_fd, const std::string& bundle) {
  const auto name = read_info_string(bundle, "CFBundleExecutable");
  if (!name || name->empty() || *name == "." || *name == ".." ||
      name->find('/') != std::string::npos || name->find('\0') != std::string::npos) {
    return false;
  }
  const UniqueFd fd(
      open_in_bundle(bundle_fd, "Contents/MacOS/" + *name, O_RDONLY | O_NONBLOCK | O_NOCTTY));
  struct stat info {};
  return fd && ::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) &&
         is_native_executable(fd.get());
}

std::expected<void, std::string> verify_ticket(const CoreConfig& config, int bundle_fd,
                                               const std::string& bundle, std::string_view seal) {
  const auto notary = signify::decode_public_key(config.notary_key);
  const auto ticket =
      read_in_bundle(bundle_fd, std::string(seal_folder) + "/Notarization", max_ticket_size);
  const auto line = ticket ? signify::key_line(*ticket) : std::nullopt;
  const auto signature = line ? signify::decode_signature(*line) : std::nullopt;
  if (!notary || !signature || !signed_by(*notary, *signature, seal) ||
      !executable_runs_here(bundle_fd, bundle)) {
    return refuse(ticket_refused);
  }
  return {};
}

}  // namespace

std::expected<void, std::string> verify_sealed_bundle(const CoreConfig& config,
                                                      const std::string& bundle, const Tool& tool) {
  const UniqueFd bundle_fd(::open(bundle.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  const auto seal =
      bundle_fd
          ? read_in_bundle(bundle_fd.get(), std::string(seal_folder) + "/CodeSeal", max_seal_size)
          : std::nullopt;
  if (!seal) {
    return refuse(seal_refused);
  }
  if (auto sealed = verify_seal(config, bundle_fd.get(), tool, *seal); !sealed) {
    return sealed;
  }
  return verify_ticket(config, bundle_fd.get(), bundle, *seal);
}

}  // namespace kelvoma
