// A bundle's identity from its Info.plist, and asking the signing programs about it.
#include "install/bundle/bundle.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <optional>

#include "fetch/command.h"
#include "install/bundle/code_seal.h"
#include "install/bundle/info_plist.h"
#include "verify/macos_version.h"
#include "verify/util/system_error.h"

namespace kelvoma {
namespace {

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
    const std::expected<InfoPlist, std::string>& plist) {
  if (!plist) {
    return std::unexpected(plist.error());
  }
  auto identifier = plist->string("CFBundleIdentifier");
  if (!identifier) {
    return std::unexpected("Chybí identifikátor aplikace.");
  }
  const auto version = plist->string("CFBundleVersion");
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
  return identity_of(InfoPlist::read(bundle));
}

std::expected<BundleIdentity, std::string> read_bundle_identity_at(int bundle_fd) {
  return identity_of(InfoPlist::read_at(bundle_fd));
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
  const auto plist = InfoPlist::read(bundle);
  if (!plist) {
    return std::unexpected(plist.error());
  }
  const auto identifier = plist->string("CFBundleIdentifier");
  const auto short_version = plist->string("CFBundleShortVersionString");
  if (identifier != tool.bundle_id || short_version != version) {
    return std::unexpected("Stažená aplikace neodpovídá vybranému vydání.");
  }
  const auto minimum = plist->string("LSMinimumSystemVersion");
  if (!minimum) {
    return std::unexpected(std::string(sentences_of(config.code_trust).missing_minimum_system));
  }
  if (auto supported = require_minimum_macos(*minimum, os_version, config.code_trust); !supported) {
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
  return run_command(spctl, macos_sentences.ticket_refused);
}

}  // namespace kelvoma
