// Why a bundle's identity, seal or ticket would be refused, said for the
// publisher: the installation only says that the seal or the ticket does
// not hold; the publisher needs the cause and the path to fix.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "verify/build_config.h"
#include "verify/catalog.h"

namespace kelvoma::publish {

// The paths (relative to the bundle) where the installation reads a
// program: Contents/MacOS/<CFBundleExecutable> and, for a bundle with a
// folder per processor, Contents/MacOS/<folder>/<CFBundleExecutable>; those
// that exist (as anything, a link included). Empty when Info.plist names no
// program.
std::vector<std::string> program_paths(const std::string& bundle);

// Refuses a symbolic link where the installation reads who the bundle is:
// Contents, Contents/Info.plist, Contents/MacOS or a program. The
// installation reads them with no link followed and would blame the ticket.
std::expected<void, std::string> check_identity_not_linked(const std::string& bundle);

// One cause: a short name for scripts ("no-seal", "seal-key", ...), the path
// it concerns and the sentence that says it (with what to do).
struct SealCause {
  std::string cause;
  std::string path;
  std::string text;
};

// The first cause, in the order the installation checks, why the seal and
// the ticket of `bundle` do not hold for `tool` (its bundle_id and team)
// under `config`'s team and notary keys: no seal, a seal of another team or
// by another key, the first path that differs from the seal, no ticket or
// one that does not cover this seal, a program without its execute bit.
// Nothing when none of these is found.
std::optional<SealCause> seal_cause(const CoreConfig& config, const Tool& tool,
                                    const std::string& bundle);

}  // namespace kelvoma::publish
