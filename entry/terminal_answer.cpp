#include "terminal_answer.h"

#include <string_view>

namespace kelvoma {
namespace {

constexpr std::string_view kUsage =
    "Použití:\n"
    "  kelvoma                    spustí Kelvoma a otevře okno se seznamem nástrojů\n"
    "  kelvoma --background       spustí Kelvoma jen v oznamovací oblasti panelu\n"
    "  kelvoma --verify-release RELEASE.JSON [ARCHIV]\n"
    "                             ověří informace o verzi (a archiv), vypíše jeden řádek\n"
    "                             a skončí; nepotřebuje grafické sezení\n"
    "  kelvoma --help, -h         vypíše tuto nápovědu\n"
    "  kelvoma --version          vypíše verzi\n"
    "\n"
    "Podrobnosti: man kelvoma\n";

}  // namespace

std::optional<std::string> terminal_answer(std::span<const char* const> arguments) {
  // Only the argument alone: every other shape still starts the application.
  if (arguments.size() != 2) {
    return std::nullopt;
  }
  const std::string_view argument = arguments[1];
  if (argument == "--help" || argument == "-h") {
    return std::string(kUsage);
  }
  if (argument == "--version") {
    return "kelvoma " KELVOMA_VERSION "\n";
  }
  return std::nullopt;
}

}  // namespace kelvoma
