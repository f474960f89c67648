// The release a tool's users are offered now, so that a new one is only
// published with a higher build (the update check offers nothing else).
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "support/publish_support.h"
#include "verify/build_config.h"
#include "verify/catalog.h"
#include "verify/manifest.h"

namespace kelvoma::publish {

// Where the published release comes from.
struct PreviousSource {
  std::optional<std::string> file;  // --previous: a release.json
  bool none = false;                // --no-previous: nothing is compared
};

// What a release.json says, read without checking its signature (to name
// what it is, never to trust it); nothing when it is no manifest.
std::optional<Release> unverified_release(std::span<const std::uint8_t> manifest);

// What users are offered now: its build, the processors it serves and where
// it was read (the file or the address).
struct PublishedRelease {
  std::uint64_t build = 0;
  std::vector<std::string> architectures;
  std::string where;
};

// The published release: from the file, verified with the entry's key, or
// fetched from the entry's manifest_url as the application fetches it.
// Nothing when none is published yet (or with `none`); an unreachable
// release stops the publisher naming why (no connection, the HTTP status,
// the certificate: Exit::network), an unverifiable one too.
std::expected<std::optional<PublishedRelease>, Failure> published_release(
    const CoreConfig& config, const Tool& tool, const PreviousSource& source);

// The new build must be above the published one.
std::expected<void, std::string> check_build_is_newer(std::uint64_t build,
                                                      std::optional<std::uint64_t> published);

}  // namespace kelvoma::publish
