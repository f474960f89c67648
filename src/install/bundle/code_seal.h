// Code trust without the platform's signing tools: the publisher's seal and
// the notary's ticket, both signify signatures checked in-process.
//
// The seal, Contents/_CodeSignature/CodeSeal, is an embedded signify
// signature by the developer team's key over the bundle's list
// (seal_list.h). It holds when the team has a key in the build's keyring,
// the key numbers match, the signature verifies under the strict Ed25519
// rules of the publisher's signatures, the list names the tool's bundle
// identifier and team, and the bundle's tree prints exactly that list.
// Contents/_CodeSignature, which the list leaves out, must hold CodeSeal and
// Notarization only, both regular files.
//
// The ticket, Contents/_CodeSignature/Notarization, is a detached signify
// signature by the notary's key over the bytes of CodeSeal. With it the
// bundle is accepted for execution when its CFBundleExecutable is one name
// of a regular file in Contents/MacOS, executable by its owner, that is an
// executable of this computer (elf_check.h).
#pragma once

#include <expected>
#include <string>

#include "verify/build_config.h"
#include "verify/catalog.h"
#include "verify/trust_sentences.h"

namespace kelvoma {

inline constexpr std::string_view seal_refused =
    "Podpis aplikace nebo identita vydavatele nesouhlasí.";
inline constexpr std::string_view ticket_refused = seal_sentences.ticket_refused;

// The seal, then (only when it holds) the ticket; the first failure's
// message. Where openat2 is refused (ENOSYS, EPERM) the message is that
// call's system error text. The tool's team identifier must not be empty.
std::expected<void, std::string> verify_sealed_bundle(const CoreConfig& config,
                                                      const std::string& bundle, const Tool& tool);

}  // namespace kelvoma
