#include "verify/architecture.h"

#include <algorithm>

#include "verify/build_config.h"
#include "verify/trust_sentences.h"

namespace kelvoma {
namespace {

// The seal build's sentence names both sides, so a publisher reading a
// user's report knows which build to make.
std::string other_processor(std::span<const std::string> architectures, Architecture machine) {
  std::string_view lead = sentences_of(CodeTrust::seal).unsupported_processor;
  lead.remove_suffix(1);  // its full stop
  std::string listed;
  for (const std::string& name : architectures) {
    listed += (listed.empty() ? "" : ", ") + name;
  }
  return std::string(lead) + " (" + std::string(architecture_name(machine)) + "): vydání " +
         (listed.empty() ? "neuvádí žádný procesor." : "uvádí " + listed + ".");
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
    return std::unexpected(std::string(sentences_of(trust).unsupported_processor));
  }
  return std::unexpected(other_processor(architectures, machine));
}

}  // namespace kelvoma
