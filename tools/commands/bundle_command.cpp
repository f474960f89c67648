#include "commands/bundle_command.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "bundle/bundle_programs.h"
#include "bundle/executable_facts.h"
#include "bundle/link_check.h"
#include "bundle/utf8_names.h"
#include "install/files/file_tree.h"
#include "kelvoma/bundle_program.h"
#include "release/catalog_entry.h"
#include "signing/release_signing.h"
#include "support/publish_support.h"
#include "support/refusal.h"
#include "verify/macos_version.h"
#include "verify/util/text_argument.h"

namespace kelvoma::publish {

const std::string_view bundle_usage_text =
    "  kelvoma-publish bundle PROGRAM [PROGRAM ...] --id ID --version VERZE --build ČÍSLO\n"
    "      [--resources SLOŽKA] [--minimum-system VERZE] [--catalog tools.json]\n"
    "      --output \"NÁZEV.app\"\n"
    "      vytvoří balíček aplikace z programu ELF (Info.plist podle katalogu); s programem\n"
    "      pro každý procesor (x86_64, arm64) univerzální balíček, programy pojmenované\n"
    "      jako první PROGRAM v Contents/MacOS/<procesor>/\n";

namespace {

namespace fs = std::filesystem;

constexpr std::array<OptionSpec, 7> bundle_options{{
    {"--id"},
    {"--version"},
    {"--build"},
    {"--resources", false, false},
    {"--minimum-system", false, false},
    {"--catalog", false, false},
    {"--output"},
}};

struct PlistDeleter {
  void operator()(plist_t node) const { plist_free(node); }
};

// The programs to bundle, at most one per processor; several make a
// universal bundle (kelvoma/bundle_program.h).
struct Program {
  std::string path;
  std::string architecture;
};

struct BundleFields {
  Tool tool;
  std::vector<Program> programs;
  std::string executable_name;  // the first program's file name
  std::string version;
  std::uint64_t build = 0;
  std::string minimum_system;  // empty: not written
};

std::string info_plist_text(const BundleFields& fields) {
  const std::unique_ptr<void, PlistDeleter> root(plist_new_dict());
  const auto set = [&](const char* key, const std::string& value) {
    plist_dict_set_item(root.get(), key, plist_new_string(value.c_str()));
  };
  set("CFBundleIdentifier", fields.tool.bundle_id);
  set("CFBundleName", fields.tool.name);
  set("CFBundleExecutable", fields.executable_name);
  set("CFBundleShortVersionString", fields.version);
  set("CFBundleVersion", std::to_string(fields.build));
  set("CFBundlePackageType", "APPL");
  if (!fields.minimum_system.empty()) {
    set("LSMinimumSystemVersion", fields.minimum_system);
  }
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(root.get(), &xml, &length);
  std::string text(xml, length);
  std::free(xml);
  return text;
}

std::expected<BundleFields, std::string> fields_from(const Options& options) {
  const auto catalog =
      options.contains("--catalog") ? std::optional(single(options, "--catalog")) : std::nullopt;
  auto tool = catalog_entry(catalog, single(options, "--id"));
  if (!tool) {
    return std::unexpected(tool.error());
  }
  BundleFields fields{.tool = std::move(*tool),
                      .programs = {},
                      .executable_name = fs::path(single(options, "")).filename().string(),
                      .version = single(options, "--version"),
                      .build = 0,
                      .minimum_system = {}};
  if (!is_dotted_version(fields.version)) {
    return std::unexpected(refusal("--version", fields.version,
                                   "číslice s tečkami: 1, 1.2 nebo 1.2.3",
                                   "Uveď verzi bez písmen, např. 1.4.0; adresa archivu ji "
                                   "dostane jako v1.4.0."));
  }
  auto build = parse_build(single(options, "--build"));
  if (!build) {
    return std::unexpected(build.error());
  }
  fields.build = *build;
  if (options.contains("--minimum-system")) {
    fields.minimum_system = single(options, "--minimum-system");
    if (!parse_macos_version(fields.minimum_system)) {
      return std::unexpected(refusal("--minimum-system", fields.minimum_system,
                                     "verze jádra jako 5.10 nebo 6.1.0",
                                     "Na Linuxu je minimální systém verze jádra."));
    }
  }
  return fields;
}

// Each program's processor from its ELF header, one program per processor,
// in the order a release lists them; the name they all get must be UTF-8
// and, in a universal bundle, must not be a processor's folder.
std::expected<std::vector<Program>, std::string> programs_of(const std::vector<std::string>& paths,
                                                             const std::string& executable_name) {
  if (!is_valid_utf8(executable_name)) {
    return std::unexpected(check_utf8_name(paths.front()).error());
  }
  std::vector<Program> programs;
  for (const std::string& path : paths) {
    auto architecture = executable_architecture(path, path, false);
    if (!architecture) {
      return std::unexpected(architecture.error());
    }
    const auto same = std::ranges::find(programs, *architecture, &Program::architecture);
    if (same != programs.end()) {
      return std::unexpected(
          refusal(path, "druhý program pro " + *architecture + " (první je " + same->path + ")",
                  "nejvýš jeden program pro každý procesor",
                  "Uveď pro každý procesor jeden program, např. "
                  "build-x86_64/nastroj build-arm64/nastroj."));
    }
    programs.push_back({.path = path, .architecture = std::move(*architecture)});
  }
  if (programs.size() > 1 && bundle_program::is_processor(executable_name)) {
    return std::unexpected(refusal(paths.front(), "program jménem " + executable_name,
                                   "program, který se nejmenuje jako procesor",
                                   "V univerzálním balíčku jsou složky procesorů vedle sebe; "
                                   "přejmenuj program."));
  }
  std::ranges::sort(programs, {}, &Program::architecture);
  return programs;
}

std::expected<void, std::string> system_failure(const fs::path& path, const std::error_code& code) {
  return std::unexpected(system_failure_text(path.string(), code.value()));
}

// Whether the link target, read at `link` (relative to the resources'
// root), stays inside that root.
bool stays_inside(const fs::path& link, const fs::path& target) {
  if (target.empty() || target.is_absolute()) {
    return false;
  }
  const fs::path resolved = (link.parent_path() / target).lexically_normal();
  return resolved.empty() || *resolved.begin() != "..";
}

// Copies the resources: folders, files with their modes, links as links.
std::expected<void, std::string> copy_resources(const fs::path& from, const fs::path& to) {
  std::error_code error;
  fs::create_directory(to, error);
  if (error) {
    return system_failure(to, error);
  }
  for (fs::recursive_directory_iterator it(from, error), end; !error && it != end;
       it.increment(error)) {
    const fs::path relative = it->path().lexically_relative(from);
    const fs::path target = to / relative;
    if (!is_valid_utf8(relative.string())) {
      return check_utf8_name(it->path().string());
    }
    const fs::file_status status = it->symlink_status(error);
    if (error) {
      break;
    }
    if (fs::is_symlink(status)) {
      const fs::path points_to = fs::read_symlink(it->path(), error);
      if (auto utf8 = check_utf8_target(it->path().string(), points_to.string()); !error && !utf8) {
        return utf8;
      }
      if (!error && !stays_inside(relative, points_to)) {
        return std::unexpected(refusal(
            "Odkaz " + it->path().string(), points_to.string(), "cíl uvnitř " + from.string(),
            "Balíček nesmí odkazovat mimo sebe; zkopíruj soubor do složky s prostředky."));
      }
      fs::create_symlink(points_to, target, error);
    } else if (fs::is_directory(status)) {
      fs::create_directory(target, error);
    } else if (fs::is_regular_file(status)) {
      fs::copy_file(it->path(), target, error);
      if (!error) {
        fs::permissions(target, status.permissions() & fs::perms::all, error);
      }
    } else {
      return std::unexpected(refusal(it->path().string(), "zvláštní soubor",
                                     "soubor, složka nebo odkaz",
                                     "Odstraň ho ze složky s prostředky."));
    }
  }
  if (error) {
    return system_failure(from, error);
  }
  return {};
}

std::expected<void, std::string> fill_bundle(const fs::path& root, const Options& options,
                                             const BundleFields& fields) {
  std::error_code error;
  fs::create_directories(root / "Contents/MacOS", error);
  if (error) {
    return system_failure(root, error);
  }
  if (auto written = create_file((root / "Contents/Info.plist").string(), info_plist_text(fields));
      !written) {
    return written;
  }
  for (const Program& each : fields.programs) {
    const std::string processor = fields.programs.size() > 1 ? each.architecture : "";
    const fs::path program = root / bundle_program::place(fields.executable_name, processor);
    fs::create_directories(program.parent_path(), error);
    if (!error) {
      fs::copy_file(each.path, program, error);
    }
    if (!error) {
      fs::permissions(program, fs::perms(0755), error);
    }
    if (error) {
      return system_failure(program, error);
    }
  }
  if (options.contains("--resources")) {
    return copy_resources(single(options, "--resources"), root / "Contents/Resources");
  }
  return {};
}

// Builds the bundle in a fresh folder beside the output and gives it the
// output's name only when it is complete, never over something that exists.
std::expected<void, std::string> make_bundle(const fs::path& output, const Options& options,
                                             const BundleFields& fields) {
  const fs::path parent = output.has_parent_path() ? output.parent_path() : fs::path(".");
  std::string work = (parent / ".kelvoma-bundle-XXXXXX").string();
  if (::mkdtemp(work.data()) == nullptr) {
    return std::unexpected(system_failure_text(parent.string(), errno));
  }
  ::chmod(work.c_str(), 0755);  // a folder like any other, not mkdtemp's private one
  auto filled = fill_bundle(work, options, fields);
  if (filled) {
    filled = check_links_stay_inside(work, output.string());
  }
  if (filled &&
      ::renameat2(AT_FDCWD, work.c_str(), AT_FDCWD, output.c_str(), RENAME_NOREPLACE) != 0) {
    filled = std::unexpected(system_failure_text(output.string(), errno));
  }
  if (!filled) {
    const std::string name = fs::path(work).filename().string();
    const int parent_fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    (void)remove_tree(parent_fd, name);
    ::close(parent_fd);
  }
  return filled;
}

}  // namespace

Outcome bundle_command(std::span<const char* const> arguments) {
  // A program for each processor at most; more are refused naming the pair.
  const auto options = parse_options(bundle_options, arguments, 1, 15);
  if (!options) {
    return std::unexpected(options.error());
  }
  auto fields = fields_from(*options);
  if (!fields) {
    return fail(fields.error());
  }
  auto programs = programs_of(options->find("")->second, fields->executable_name);
  if (!programs) {
    return fail(programs.error());
  }
  fields->programs = std::move(*programs);
  const fs::path output = without_trailing_separators(single(*options, "--output"));
  struct stat status {};
  if (::lstat(output.c_str(), &status) == 0) {
    return fail(refusal("--output", output.string(), "cesta, která ještě neexistuje",
                        "Zvol jiný název nebo starý balíček nejdřív odstraň."));
  }
  if (auto made = make_bundle(output, *options, *fields); !made) {
    return fail(made.error());
  }
  if (!fields->minimum_system.empty()) {
    std::fputs(minimum_system_warning(fields->minimum_system).c_str(), stderr);
  }
  std::vector<std::string> architectures;
  for (const Program& program : fields->programs) {
    architectures.push_back(program.architecture);
  }
  return "Vytvořen balíček " + output.string() + ": " + fields->tool.bundle_id + " " +
         fields->version + " (" + std::to_string(fields->build) + "), " +
         listed_processors(architectures) + ".\n";
}

}  // namespace kelvoma::publish
