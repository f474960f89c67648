// The processors a release can be for, and the one rule that decides
// whether a release is for this computer.
#pragma once

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kelvoma {

enum class CodeTrust;

// The processors Kelvoma is built for; releases name them "x86_64" and
// "arm64" (64-bit, little-endian both).
enum class Architecture { x86_64, arm64 };

// The name a release manifest gives the processor.
std::string_view architecture_name(Architecture architecture);

// The processor a name stands for, exactly as manifests spell it.
std::optional<Architecture> architecture_named(std::string_view name);

// The processor this program was built for.
#if defined(__x86_64__)
inline constexpr Architecture this_architecture = Architecture::x86_64;
#elif defined(__aarch64__)
inline constexpr Architecture this_architecture = Architecture::arm64;
#else
#error "Kelvoma is built for x86-64 and AArch64 only: no release names another processor"
#endif

// The rule: a release is for a computer with `machine` when `architectures`
// names it exactly ("x86_64" on x86-64, "arm64" on AArch64), else a sentence
// naming what the release lists and what this computer has. Under the
// `macos` code trust the rule stays the Mac's whatever `machine` is: "x86_64"
// listed, else "Tato verze není dostupná pro procesor tohoto Macu.".
std::expected<void, std::string> require_architecture(std::span<const std::string> architectures,
                                                      CodeTrust trust, Architecture machine);

}  // namespace kelvoma
