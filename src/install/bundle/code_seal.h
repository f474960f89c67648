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
// bundle is accepted for execution when its program for the configuration's
// machine (named by CFBundleExecutable, read with no link followed, and
// placed as kelvoma/bundle_program.h says) is a regular file, executable by
// its owner, that is an ELF program for that machine (elf_header.h).
//
// Between the two, no link in the sealed bundle may leave it
// (bundle_links.h).
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "install/bundle/bundle_links.h"
#include "verify/architecture.h"
#include "verify/build_config.h"
#include "verify/catalog.h"
#include "verify/trust_sentences.h"

namespace kelvoma {

inline constexpr std::string_view seal_refused =
    "Podpis aplikace nebo identita vydavatele nesouhlasí.";
inline constexpr std::string_view ticket_refused = seal_sentences.ticket_refused;

// The seal's own sentences for what the checks of links and of the program
// find in a sealed bundle: what was found and what is expected.
std::string outside_link_refused(const OutsideLink& link);
std::string program_for_other_processor(std::string_view found, Architecture machine);
inline constexpr std::string_view program_is_library =
    "Program aplikace je sdílená knihovna, ne spustitelný program; instalovat lze jen aplikaci, "
    "jejíž program jde spustit.";

// The seal, then (only when it holds) its links and the ticket; the first
// failure's message. Where openat2 is refused (ENOSYS, EPERM) the message is that
// call's system error text. The tool's team identifier must not be empty.
std::expected<void, std::string> verify_sealed_bundle(const CoreConfig& config,
                                                      const std::string& bundle, const Tool& tool);

// The ticket's check of the program: the bundle open as `bundle_fd` names
// in its Info.plist (no link followed) a program, and its program for
// `machine` (kelvoma/bundle_program.h), opened with no link followed, is a
// regular file that its owner may execute and an ELF program for `machine`. The sentences above for
// another processor and a shared library, ticket_refused for anything else.
std::expected<void, std::string> check_bundle_program(int bundle_fd, Architecture machine);

}  // namespace kelvoma
