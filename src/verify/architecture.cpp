#include "verify/architecture.h"

#include <algorithm>

#include "verify/build_config.h"

namespace kelvoma {
namespace {

constexpr std::string_view mac_processor = "Tato verze není dostupná pro procesor tohoto Macu.";

std::string other_processor(std::span<const std::string> architectures, Architecture machine) {
  const std::string has =
      "tento počítač má procesor " + std::string(architecture_name(machine)) + ".";
  if (architectures.empty()) {
    return "Tato verze neuvádí žádný procesor; " + has;
  }
  std::string listed;
  for (const std::string& name : architectures) {
    listed += (listed.empty() ? "" : ", ") + name;
  }
  const char* noun = architectures.size() == 1 ? "procesor " : "procesory ";
  return "Tato verze je jen pro " + (noun + listed) + "; " + has;
}

}  // namespace

std::string_view architecture_name(Architecture architecture) {
  return architecture == Architecture::arm64 ? "arm64" : "x86_64";
}

std::optional<Architecture> architecture_named(std::string_view name) {
  for (const Architecture known : {Architecture::x86_64, Architecture::arm64}) {
    if (architecture_name(known) == name) {
      return known;
    }
  }
  return std::nullopt;
}

std::expected<void, std::string> require_architecture(std::span<const std::string> architectures,
                                                      CodeTrust trust, Architecture machine) {
  // The program is built for one processor; the system is not asked.
  const Architecture wanted = trust == CodeTrust::macos ? Architecture::x86_64 : machine;
  if (std::ranges::find(architectures, architecture_name(wanted)) != architectures.end()) {
    return {};
  }
  if (trust == CodeTrust::macos) {
    return std::unexpected(std::string(mac_processor));
  }
  return std::unexpected(other_processor(architectures, machine));
}

}  // namespace kelvoma
