// Identity and code-signature checks of application bundles.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "verify/build_config.h"
#include "verify/catalog.h"

namespace kelvoma {

struct BundleIdentity {
  std::string identifier;   // CFBundleIdentifier
  std::uint64_t build = 0;  // CFBundleVersion read as an unsigned decimal
};

// Reads Contents/Info.plist (XML or binary) of `bundle`.
std::expected<BundleIdentity, std::string> read_bundle_identity(const std::string& bundle);
// The same for the bundle open as `bundle_fd`, with no symbolic link
// followed on the way to Info.plist (a link there counts as no Info.plist).
std::expected<BundleIdentity, std::string> read_bundle_identity_at(int bundle_fd);

// The requirement text the code signature must satisfy (without the "=").
std::string code_requirement(const Tool& tool);

// The new bundle of a manifest-based tool must carry the tool's identifier
// and exactly the release's build, then pass verify_code_signature.
std::expected<void, std::string> validate_managed_bundle(const CoreConfig& config,
                                                         const std::string& bundle,
                                                         const Tool& tool, std::uint64_t build);

// The new bundle of an external tool must carry the tool's identifier, the
// release's version and a minimum system this computer meets, then pass
// verify_code_signature.
std::expected<void, std::string> validate_external_bundle(const CoreConfig& config,
                                                          const std::string& bundle,
                                                          const Tool& tool,
                                                          std::string_view version,
                                                          std::string_view os_version);

// Nothing without a team identifier in the catalog; then, as the build's
// code trust says, codesign against the requirement and then spctl, or the
// seal and then the ticket (code_seal.h) naming the requirement's
// identifier and team.
std::expected<void, std::string> verify_code_signature(const CoreConfig& config,
                                                       const std::string& bundle, const Tool& tool);

}  // namespace kelvoma
