// System version texts and the minimum-system rule.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "verify/build_config.h"

namespace kelvoma {

struct MacosVersion {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t patch = 0;
  auto operator<=>(const MacosVersion&) const = default;
};

// One to three dot-separated decimal numbers (each optionally "+"-prefixed,
// fitting 32 bits); missing parts are 0. Otherwise "Neplatná verze macOS."
// (in the words of `trust`, trust_sentences.h).
std::expected<MacosVersion, std::string> parse_macos_version(std::string_view text,
                                                             CodeTrust trust = CodeTrust::macos);

// Succeeds when `os_version` is at least `minimum`; otherwise
// "Vyžaduje macOS {minimum} nebo novější." with `minimum` as given, or
// "Neplatná verze macOS." when either text is unreadable (os_version first);
// in the words of `trust` (trust_sentences.h).
std::expected<void, std::string> require_minimum_macos(std::string_view minimum,
                                                       std::string_view os_version,
                                                       CodeTrust trust = CodeTrust::macos);

}  // namespace kelvoma
