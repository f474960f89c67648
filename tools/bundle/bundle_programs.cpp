#include "bundle/bundle_programs.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "bundle/executable_facts.h"
#include "install/bundle/bundle.h"
#include "install/bundle/code_seal.h"
#include "kelvoma/bundle_program.h"
#include "support/refusal.h"
#include "verify/architecture.h"
#include "verify/util/unique_fd.h"

namespace kelvoma::publish {
namespace {

namespace fs = std::filesystem;

bool present(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

std::string mixed_layout(const std::string& place, const std::string& executable) {
  return refusal(place, "program vedle " + bundle_program::place(executable),
                 "jeden program, nebo program pro každý procesor v jeho složce",
                 "Program v Contents/MacOS by se spouštěl na každém procesoru; nech jen jedno z "
                 "obou uspořádání (kelvoma-publish bundle je zapíše samo).");
}

std::expected<BundleProgram, std::string> program_at(const std::string& bundle,
                                                     const std::string& place,
                                                     const std::string& processor,
                                                     bool need_execute_bit) {
  auto architecture = executable_architecture(bundle + "/" + place, place, need_execute_bit);
  if (!architecture) {
    return std::unexpected(architecture.error());
  }
  if (!processor.empty() && *architecture != processor) {
    return std::unexpected(refusal(
        place, "program ELF pro " + *architecture, "program ELF pro " + processor,
        "Ve složce procesoru " + processor + " musí být program přeložený pro " + processor +
            "; kelvoma-publish bundle vybírá místo podle hlavičky ELF, sestav balíček jím."));
  }
  return BundleProgram{.place = place, .architecture = std::move(*architecture)};
}

}  // namespace

std::vector<std::string> program_folders(const std::string& bundle, const std::string& executable) {
  std::vector<std::string> folders;
  if (!bundle_program::is_program_name(executable)) {
    return folders;
  }
  const fs::path programs = fs::path(bundle) / bundle_program::programs_folder;
  if (present((programs / executable).string())) {
    folders.emplace_back();
  }
  std::error_code error;
  for (fs::directory_iterator it(programs, error), end; !error && it != end; it.increment(error)) {
    if (it->symlink_status(error).type() == fs::file_type::directory &&
        present((it->path() / executable).string())) {
      folders.push_back(it->path().filename().string());
    }
  }
  std::ranges::sort(folders);
  return folders;
}

std::expected<std::vector<BundleProgram>, std::string> read_bundle_programs(
    const std::string& bundle, const std::string& shown_as, const std::string& executable,
    bool need_execute_bit) {
  const std::string single = bundle_program::place(executable);
  std::vector<std::string> folders = program_folders(bundle, executable);
  if (!folders.empty() && folders.front().empty()) {
    folders.erase(folders.begin());
    if (!folders.empty()) {
      return std::unexpected(
          mixed_layout(bundle_program::place(executable, folders.front()), executable));
    }
    auto program = program_at(bundle, single, "", need_execute_bit);
    if (!program) {
      return std::unexpected(program.error());
    }
    return std::vector{std::move(*program)};
  }
  if (folders.empty()) {
    return std::unexpected(
        refusal(single + " v " + shown_as, "(chybí)",
                "program, nebo programy " + bundle_program::place(executable, "<procesor>"),
                "Sestav balíček z přeloženého programu (kelvoma-publish "
                "bundle PROGRAM [PROGRAM…])."));
  }
  std::vector<BundleProgram> programs;
  for (const std::string& folder : folders) {
    const std::string place = bundle_program::place(executable, folder);
    if (!bundle_program::is_processor(folder)) {
      return std::unexpected(refusal(place, "program pro procesor " + folder,
                                     "program ve složce x86_64 nebo arm64",
                                     "Kelvoma jiné procesory nezná; jinak pojmenovanou složku s "
                                     "programem nespustí žádný počítač."));
    }
    auto program = program_at(bundle, place, folder, need_execute_bit);
    if (!program) {
      return std::unexpected(program.error());
    }
    programs.push_back(std::move(*program));
  }
  return programs;
}

std::vector<std::string> architectures_of(const std::vector<BundleProgram>& programs) {
  std::vector<std::string> architectures;
  for (const BundleProgram& program : programs) {
    architectures.push_back(program.architecture);
  }
  return architectures;
}

std::string listed_processors(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    text += (text.empty() ? "" : ", ") + name;
  }
  return text;
}

std::expected<void, std::string> verify_for_each_processor(
    const CoreConfig& trust, const std::string& bundle, const Tool& tool,
    const std::vector<std::string>& architectures) {
  CoreConfig config = trust;
  const auto machine = [&](std::size_t i) {
    return i < architectures.size() ? architecture_named(architectures[i]).value_or(trust.machine)
                                    : trust.machine;
  };
  config.machine = machine(0);
  if (auto sealed = verify_code_signature(config, bundle, tool); !sealed) {
    return sealed;
  }
  if (config.code_trust != CodeTrust::seal) {
    return {};  // the platform's tools judge the whole bundle
  }
  const UniqueFd bundle_fd(::open(bundle.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (std::size_t i = 1; i < architectures.size(); ++i) {
    if (auto program = check_bundle_program(bundle_fd.get(), machine(i)); !program) {
      return program;
    }
  }
  return {};
}

}  // namespace kelvoma::publish
