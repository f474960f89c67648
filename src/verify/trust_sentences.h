// The core's sentences that name the platform, one table per code trust.
//
// `macos` speaks the words the messages were first written in, byte for
// byte. `seal`, the Linux build, has its own Czech that a Linux user
// understands: no Mac, no macOS, the notary's ticket named as what it is.
// Side by side, macos first:
//
// - "macOS nepotvrdil notarizaci stažené aplikace."
//   "Notářský lístek stažené aplikace neplatí."
// - "Tato verze není dostupná pro procesor tohoto Macu."
//   "Tato verze není dostupná pro procesor tohoto počítače." (the seal build
//   adds the computer's processor and what the release lists:
//   verify/architecture.cpp)
// - "Chybí minimální verze macOS."
//   "Chybí minimální verze systému."
// - "Neplatná verze macOS."
//   "Neplatná verze systému."
// - "Vyžaduje macOS {minimum} nebo novější."
//   "Vyžaduje systém ve verzi {minimum} nebo novější."
#pragma once

#include <string>
#include <string_view>

#include "verify/build_config.h"

namespace kelvoma {

struct TrustSentences {
  std::string_view ticket_refused;
  std::string_view unsupported_processor;
  std::string_view missing_minimum_system;
  std::string_view invalid_system_version;
  std::string_view requires_system_before;  // then the minimum as given
  std::string_view requires_system_after;
};

inline constexpr TrustSentences macos_sentences{
    .ticket_refused = "macOS nepotvrdil notarizaci stažené aplikace.",
    .unsupported_processor = "Tato verze není dostupná pro procesor tohoto Macu.",
    .missing_minimum_system = "Chybí minimální verze macOS.",
    .invalid_system_version = "Neplatná verze macOS.",
    .requires_system_before = "Vyžaduje macOS ",
    .requires_system_after = " nebo novější.",
};

inline constexpr TrustSentences seal_sentences{
    .ticket_refused = "Notářský lístek stažené aplikace neplatí.",
    .unsupported_processor = "Tato verze není dostupná pro procesor tohoto počítače.",
    .missing_minimum_system = "Chybí minimální verze systému.",
    .invalid_system_version = "Neplatná verze systému.",
    .requires_system_before = "Vyžaduje systém ve verzi ",
    .requires_system_after = " nebo novější.",
};

constexpr const TrustSentences& sentences_of(CodeTrust trust) {
  return trust == CodeTrust::seal ? seal_sentences : macos_sentences;
}

}  // namespace kelvoma
