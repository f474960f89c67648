#include "bundle/executable_facts.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "install/bundle/elf_header.h"
#include "support/publish_support.h"
#include "support/refusal.h"
#include "verify/macos_version.h"
#include "verify/util/unique_fd.h"

namespace kelvoma::publish {
namespace {

std::string not_executable(const std::string& shown_as, std::string_view found) {
  return refusal(shown_as, found, "spustitelný soubor ELF pro x86_64 nebo arm64",
                 "Instalace spouští jen programy ELF; zabal přeložený program, ne skript ani "
                 "knihovnu.");
}

}  // namespace

std::expected<std::string, std::string> executable_architecture(const std::string& path,
                                                                const std::string& shown_as,
                                                                bool need_execute_bit) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    return std::unexpected(system_failure_text(shown_as, errno));
  }
  if (!S_ISREG(status.st_mode)) {
    return std::unexpected(refusal(shown_as, "odkaz nebo jiný než obyčejný soubor",
                                   "obyčejný soubor", "Ulož program do balíčku jako soubor."));
  }
  if (need_execute_bit && (status.st_mode & S_IXUSR) == 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    return std::unexpected(refusal("Práva " + shown_as, mode, "bit spuštění vlastníka (např. 0755)",
                                   "Spusť chmod 0755 na program a balíček znovu zapečeť."));
  }
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) {
    return std::unexpected(system_failure_text(shown_as, errno));
  }
  const auto header = read_elf_header(fd.get());
  if (!header) {
    return std::unexpected(not_executable(shown_as, header.error() == NotElf::script ? "skript"
                                                    : header.error() == NotElf::damaged
                                                        ? "poškozený soubor ELF"
                                                        : "soubor, který není ELF"));
  }
  const auto architecture = elf_architecture(*header);
  if (!architecture) {
    return std::unexpected(
        not_executable(shown_as, "ELF pro stroj " + std::to_string(header->machine)));
  }
  switch (elf_role(*header)) {
    case ElfRole::program:
      return std::string(architecture_name(*architecture));
    case ElfRole::shared_library:
      return std::unexpected(refusal(shown_as,
                                     "sdílená knihovna (ELF bez PT_INTERP a bez DF_1_PIE)",
                                     "spustitelný program ELF",
                                     "Spuštěná knihovna spadne; přelož program (bez -shared, "
                                     "případně s -pie) a zabal ten."));
    case ElfRole::other:
      break;
  }
  return std::unexpected(not_executable(shown_as, "ELF typu " + std::to_string(header->type)));
}

std::string running_system_version() {
  struct utsname names {};
  if (::uname(&names) != 0) {
    return {};
  }
  // "6.1.0-18-amd64": the leading numbers and dots only.
  std::string release = names.release;
  if (const auto end = release.find_first_not_of("0123456789."); end != std::string::npos) {
    release.resize(end);
  }
  while (!release.empty() && release.back() == '.') {
    release.pop_back();
  }
  return release;
}

std::string minimum_system_warning(const std::string& minimum) {
  const std::string running = running_system_version();
  if (running.empty() || require_minimum_macos(minimum, running)) {
    return {};
  }
  return "Upozornění: minimální systém " + minimum + " je vyšší než jádro tohoto počítače (" +
         running +
         "); na Linuxu se porovnává s verzí jádra a uživatelé se starším jádrem verzi "
         "nenainstalují.\n";
}

}  // namespace kelvoma::publish
