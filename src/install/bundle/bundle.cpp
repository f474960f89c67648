// Reading a bundle's Info.plist and asking the signing programs about it.
#include "install/bundle/bundle.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <memory>
#include <optional>
#include <vector>

#include "fetch/command.h"
#include "install/bundle/code_seal.h"
#include "install/bundle/seal_list.h"
#include "install/files/file_io.h"
#include "verify/macos_version.h"
#include "verify/util/system_error.h"

namespace kelvoma {
namespace {

constexpr std::string_view invalid_info_plist = "Aplikace nemá platný Info.plist.";

// Real Info.plist files are a few kilobytes; the bound keeps a hostile file
// from being read whole into memory.
constexpr std::size_t max_info_plist_size = 16 * 1024 * 1024;

struct PlistDeleter {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// Without blocking: a FIFO or device planted as Info.plist cannot stall
// the installation.
constexpr int info_plist_flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

// The root dictionary of the Info.plist open as `fd`, XML or binary.
std::expected<PlistPtr, std::string> parse_info_plist(const UniqueFd& fd) {
  const auto bytes = read_regular_file(fd.get(), max_info_plist_size);
  if (!bytes || bytes->empty()) {
    return std::unexpected(std::string(invalid_info_plist));
  }
  plist_t root = nullptr;
  plist_from_memory(bytes->data(), static_cast<std::uint32_t>(bytes->size()), &root);
  PlistPtr owned(root);
  if (!owned) {
    return std::unexpected(std::string(invalid_info_plist));
  }
  if (plist_get_node_type(owned.get()) != PLIST_DICT) {
    return std::unexpected("Neplatné informace o aplikaci.");
  }
  return owned;
}

// Info.plist below the bundle open as `bundle_fd`, no link followed: one
// openat2 call or, where the kernel lacks it (before 5.6, or a filter
// refuses it), one component at a time.
int open_info_plist_at(int bundle_fd) {
  const int fd = open_in_bundle(bundle_fd, "Contents/Info.plist", info_plist_flags);
  if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) {
    return fd;
  }
  const UniqueFd contents(
      ::openat(bundle_fd, "Contents", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  return contents ? ::openat(contents.get(), "Info.plist", info_plist_flags | O_NOFOLLOW) : -1;
}

std::expected<PlistPtr, std::string> read_info_plist(const std::string& bundle) {
  return parse_info_plist(
      UniqueFd(::open((bundle + "/Contents/Info.plist").c_str(), info_plist_flags)));
}

// The value of `key` when it is a string; any other type counts as absent.
std::optional<std::string> string_value(plist_t dictionary, const char* key) {
  const plist_t node = plist_dict_get_item(dictionary, key);
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) {
    return std::nullopt;
  }
  std::uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  if (text == nullptr) {
    return std::nullopt;
  }
  return std::string(text, length);
}

// An optional single "+", then only decimal digits, fitting 64 bits.
std::optional<std::uint64_t> parse_build_number(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
  }
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

// A bundle must be a real entry, never a symbolic link placed where the
// bundle is expected.
std::expected<void, std::string> require_plain_bundle(const std::string& bundle) {
  struct stat info {};
  if (::lstat(bundle.c_str(), &info) != 0) {
    return std::unexpected(system_error_text(errno));
  }
  if (S_ISLNK(info.st_mode)) {
    return std::unexpected("Balíček aplikace nesmí být symbolický odkaz.");
  }
  return {};
}

std::expected<BundleIdentity, std::string> identity_of(
    const std::expected<PlistPtr, std::string>& plist) {
  if (!plist) {
    return std::unexpected(plist.error());
  }
  auto identifier = string_value(plist->get(), "CFBundleIdentifier");
  if (!identifier) {
    return std::unexpected("Chybí identifikátor aplikace.");
  }
  const auto version = string_value(plist->get(), "CFBundleVersion");
  if (!version) {
    return std::unexpected("Chybí číslo sestavení.");
  }
  const auto build = parse_build_number(*version);
  if (!build) {
    return std::unexpected("Neplatné číslo sestavení.");
  }
  return BundleIdentity{.identifier = std::move(*identifier), .build = *build};
}

}  // namespace

std::expected<BundleIdentity, std::string> read_bundle_identity(const std::string& bundle) {
  return identity_of(read_info_plist(bundle));
}

std::expected<BundleIdentity, std::string> read_bundle_identity_at(int bundle_fd) {
  return identity_of(parse_info_plist(UniqueFd(open_info_plist_at(bundle_fd))));
}

std::optional<std::string> read_info_string(const std::string& bundle, const char* key) {
  const auto plist = read_info_plist(bundle);
  if (!plist) {
    return std::nullopt;
  }
  return string_value(plist->get(), key);
}

std::string code_requirement(const Tool& tool) {
  std::string requirement = "anchor apple generic and identifier \"";
  requirement.append(tool.bundle_id);
  requirement.append("\" and certificate leaf[subject.OU] = \"");
  requirement.append(tool.team_id);
  requirement.push_back('"');
  return requirement;
}

std::expected<void, std::string> validate_managed_bundle(const CoreConfig& config,
                                                         const std::string& bundle,
                                                         const Tool& tool, std::uint64_t build) {
  if (auto plain = require_plain_bundle(bundle); !plain) {
    return plain;
  }
  const auto identity = read_bundle_identity(bundle);
  if (!identity) {
    return std::unexpected(identity.error());
  }
  if (identity->identifier != tool.bundle_id || identity->build != build) {
    return std::unexpected("Stažená aplikace neodpovídá podepsané verzi.");
  }
  return verify_code_signature(config, bundle, tool);
}

std::expected<void, std::string> validate_external_bundle(const CoreConfig& config,
                                                          const std::string& bundle,
                                                          const Tool& tool,
                                                          std::string_view version,
                                                          std::string_view os_version) {
  if (auto plain = require_plain_bundle(bundle); !plain) {
    return plain;
  }
  const auto plist = read_info_plist(bundle);
  if (!plist) {
    return std::unexpected(plist.error());
  }
  const auto identifier = string_value(plist->get(), "CFBundleIdentifier");
  const auto short_version = string_value(plist->get(), "CFBundleShortVersionString");
  if (identifier != tool.bundle_id || short_version != version) {
    return std::unexpected("Stažená aplikace neodpovídá vybranému vydání.");
  }
  const auto minimum = string_value(plist->get(), "LSMinimumSystemVersion");
  if (!minimum) {
    return std::unexpected("Chybí minimální verze macOS.");
  }
  if (auto supported = require_minimum_macos(*minimum, os_version); !supported) {
    return supported;
  }
  return verify_code_signature(config, bundle, tool);
}

std::expected<void, std::string> verify_code_signature(const CoreConfig& config,
                                                       const std::string& bundle,
                                                       const Tool& tool) {
  if (tool.team_id.empty()) {
    return std::unexpected("V katalogu chybí identita vydavatele.");
  }
  if (config.code_trust == CodeTrust::seal) {
    return verify_sealed_bundle(config, bundle, tool);
  }
  // "=" marks the argument as requirement text rather than a file name.
  std::string requirement = "=";
  requirement.append(code_requirement(tool));
  const Command codesign{
      .program = config.codesign,
      .arguments = {"--verify", "--deep", "--strict", "-R", std::move(requirement), bundle}};
  if (auto signature = run_command(codesign, seal_refused); !signature) {
    return signature;
  }
  const Command spctl{.program = config.spctl,
                      .arguments = {"--assess", "--type", "execute", bundle}};
  return run_command(spctl, ticket_refused);
}

}  // namespace kelvoma
