#include "ctl_options.h"

#include <array>
#include <utility>

namespace kelvoma::app::terminal {
namespace {

constexpr std::array<std::pair<const char*, Command>, 8> kCommands{{
    {"status", Command::status},
    {"check", Command::check},
    {"update", Command::update},
    {"install", Command::install},
    {"notes", Command::notes},
    {"remove", Command::remove},
    {"restore", Command::restore},
    {"reset", Command::reset},
}};

std::optional<Command> commandOf(const std::string& word) {
  for (const auto& [name, command] : kCommands) {
    if (word == name) {
      return command;
    }
  }
  return std::nullopt;
}

bool takesStopRunning(Command command) {
  return command == Command::update || command == Command::install;
}

std::expected<void, std::string> checkToolCount(const Options& options) {
  const std::size_t count = options.tools.size();
  if (options.command == Command::reset && count != 0) {
    return std::unexpected("Příkaz reset nebere žádný nástroj.");
  }
  const bool oneTool = options.command != Command::status && options.command != Command::check &&
                       options.command != Command::update && options.command != Command::reset;
  if (oneTool && count != 1) {
    return std::unexpected("Příkaz " + commandName(*options.command) +
                           " potřebuje právě jeden nástroj.");
  }
  return {};
}

}  // namespace

std::string commandName(Command command) {
  for (const auto& [name, each] : kCommands) {
    if (each == command) {
      return name;
    }
  }
  return {};
}

std::expected<Options, std::string> parseOptions(const std::vector<std::string>& arguments) {
  Options options;
  bool onlyTools = false;
  for (const std::string& argument : arguments) {
    if (onlyTools || argument.empty() || argument[0] != '-') {
      if (!options.command) {
        options.command = commandOf(argument);
        if (!options.command) {
          return std::unexpected("Neznámý příkaz „" + argument + "“. Viz kelvomactl --help.");
        }
      } else {
        options.tools.push_back(argument);
      }
    } else if (argument == "--") {
      onlyTools = true;
    } else if (argument == "--help" || argument == "-h") {
      options.help = true;
    } else if (argument == "--version") {
      options.version = true;
    } else if (argument == "--json") {
      options.json = true;
    } else if (argument == "--quiet" || argument == "-q") {
      options.quiet = true;
    } else if (argument == "--stop-running") {
      options.stopRunning = true;
    } else if (argument == "--dry-run") {
      options.dryRun = true;
    } else {
      return std::unexpected("Neznámá volba „" + argument + "“. Viz kelvomactl --help.");
    }
  }
  if (options.help || options.version) {
    return options;
  }
  if (!options.command) {
    return std::unexpected("Chybí příkaz. Viz kelvomactl --help.");
  }
  if (options.stopRunning && !takesStopRunning(*options.command)) {
    return std::unexpected("Volbu --stop-running znají jen příkazy update a install.");
  }
  if (options.dryRun && options.command != Command::reset) {
    return std::unexpected("Volbu --dry-run zná jen příkaz reset.");
  }
  if (auto counted = checkToolCount(options); !counted) {
    return std::unexpected(counted.error());
  }
  return options;
}

std::string programHelp() {
  return "Použití: kelvomactl PŘÍKAZ [NÁSTROJ…] [VOLBY]\n"
         "\n"
         "Spravuje nástroje Kelvomy z terminálu.\n"
         "\n"
         "Příkazy:\n"
         "  status [NÁSTROJ…]   stav nástrojů (bez sítě)\n"
         "  check [NÁSTROJ…]    zkontroluje nové verze\n"
         "  update [NÁSTROJ…]   nainstaluje nové verze (bez nástroje: všech nainstalovaných)\n"
         "  install NÁSTROJ     nainstaluje nástroj\n"
         "  notes NÁSTROJ       poznámky k nabízené verzi\n"
         "  remove NÁSTROJ      přesune nástroj do koše (běžící nejdřív ukončí)\n"
         "  restore NÁSTROJ     vrátí nástroj z koše na jeho místo\n"
         "  reset [--dry-run]   odstraní, co Kelvoma zapsala v tomto domově (nástroje ne)\n"
         "\n"
         "Volby:\n"
         "  --json              výstup jako jeden objekt JSON (\"schema\": 1)\n"
         "  -q, --quiet         bez průběhu stahování\n"
         "  --stop-running      (update, install) ukončí běžící nástroj\n"
         "  -h, --help          nápověda, i k příkazu: kelvomactl PŘÍKAZ --help\n"
         "  --version           verze programu\n"
         "\n"
         "Návratové kódy: 0 hotovo, 1 krok odmítnut nebo selhal, 2 chybné použití,\n"
         "3 nástroj se právě instaluje, 4 bez sítě, 5 nástroj běží a zůstal beze změny,\n"
         "100 check našel nové verze.\n";
}

std::string commandHelp(Command command) {
  switch (command) {
    case Command::status:
      return "Použití: kelvomactl status [NÁSTROJ…] [--json]\n"
             "\n"
             "Každý nástroj: název a id, nainstalovaná verze a sestavení, zapnutý či vypnutý,\n"
             "zda běží, naposledy nalezená verze a kdy. Jen z disku a nastavení, bez sítě.\n";
    case Command::check:
      return "Použití: kelvomactl check [NÁSTROJ…] [--json]\n"
             "\n"
             "Zkontroluje nové verze hned teď. Návratový kód 100: nainstalovaný nástroj má\n"
             "novou verzi; 0: vše aktuální; 4: bez sítě.\n";
    case Command::update:
      return "Použití: kelvomactl update [NÁSTROJ…] [--stop-running] [--quiet] [--json]\n"
             "\n"
             "Nainstaluje nové verze (bez nástroje: všech nainstalovaných nástrojů s novou\n"
             "verzí): stažení, všechny kontroly, záloha, při chybě návrat. Běžící nástroj\n"
             "ukončí jen s --stop-running, jinak ho nechá beze změny (kód 5).\n";
    case Command::install:
      return "Použití: kelvomactl install NÁSTROJ [--stop-running] [--quiet] [--json]\n"
             "\n"
             "Nainstaluje nástroj nebo jeho novou verzi stejnou cestou jako okno Kelvomy.\n";
    case Command::notes:
      return "Použití: kelvomactl notes NÁSTROJ [--json]\n"
             "\n"
             "Podepsané poznámky k nabízené verzi, jak je ukazuje okno.\n";
    case Command::remove:
      return "Použití: kelvomactl remove NÁSTROJ [--json]\n"
             "\n"
             "Přesune nainstalovaný nástroj do koše, nikdy ho nesmaže. Běžící nástroj\n"
             "nejdřív ukončí, jako to dělá okno.\n";
    case Command::restore:
      return "Použití: kelvomactl restore NÁSTROJ [--json]\n"
             "\n"
             "Vrátí nástroj z koše na místo, odkud byl odstraněn, jen když je to opravdu\n"
             "jeho balíček a na tom místě nic není.\n";
    case Command::reset:
      return "Použití: kelvomactl reset [--dry-run] [--json]\n"
             "\n"
             "Odstraní, co Kelvoma sama zapsala v tomto domově: své nastavení, položku\n"
             "spuštění po přihlášení, položky nabídky aplikací a ikony nástrojů s jejím\n"
             "klíčem. Nástroje samotné nikdy. S --dry-run jen vypíše, co by odstranila.\n"
             "Hodí se po apt purge kelvoma.\n";
  }
  return programHelp();
}

}  // namespace kelvoma::app::terminal
