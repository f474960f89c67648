#include "release/archive_processors.h"

#include <archive.h>
#include <archive_entry.h>
#include <plist/plist.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "bundle/bundle_programs.h"
#include "install/bundle/elf_header.h"
#include "install/files/file_io.h"
#include "install/unpack/utf8_names.h"
#include "kelvoma/bundle_program.h"
#include "support/publish_support.h"
#include "support/refusal.h"
#include "verify/util/unique_fd.h"

namespace kelvoma::publish {
namespace {

using ArchivePointer = std::unique_ptr<archive, decltype(&archive_read_free)>;

constexpr std::size_t max_info_plist_size = 16 << 20;

// The path of an entry below the archive's top folder.
std::string below_top(archive_entry* entry) {
  const char* utf8 = archive_entry_pathname_utf8(entry);
  const std::string name = utf8 != nullptr ? utf8 : archive_entry_pathname(entry);
  const auto slash = name.find('/');
  return slash == std::string::npos ? std::string() : name.substr(slash + 1);
}

// The entry's data handed to `take` piece by piece; false on a read error.
bool read_data(archive* reader, const std::function<bool(std::span<const std::uint8_t>)>& take) {
  std::array<std::uint8_t, 1 << 16> piece{};
  while (true) {
    const la_ssize_t got = archive_read_data(reader, piece.data(), piece.size());
    if (got < 0) {
      return false;
    }
    if (got == 0) {
      return true;
    }
    if (!take({piece.data(), static_cast<std::size_t>(got)})) {
      return false;
    }
  }
}

// The processor of the program whose bytes follow, through the
// installation's reader (which wants a file).
std::optional<std::string> program_processor(archive* reader) {
  const UniqueFd file(::memfd_create("kelvoma-program", MFD_CLOEXEC));
  if (!file || !read_data(reader, [&](auto piece) { return write_all(file.get(), piece) == 0; }) ||
      ::lseek(file.get(), 0, SEEK_SET) != 0) {
    return std::nullopt;
  }
  const auto header = read_elf_header(file.get());
  const auto architecture = header ? elf_architecture(*header) : std::nullopt;
  return architecture ? std::optional(std::string(architecture_name(*architecture))) : std::nullopt;
}

std::optional<std::string> executable_name(const std::string& plist_bytes) {
  plist_t root = nullptr;
  plist_from_memory(plist_bytes.data(), static_cast<std::uint32_t>(plist_bytes.size()), &root);
  const std::unique_ptr<void, decltype(&plist_free)> owned(root, &plist_free);
  const plist_t item = root != nullptr && plist_get_node_type(root) == PLIST_DICT
                           ? plist_dict_get_item(root, "CFBundleExecutable")
                           : nullptr;
  if (item == nullptr || plist_get_node_type(item) != PLIST_STRING) {
    return std::nullopt;
  }
  char* value = nullptr;
  plist_get_string_val(item, &value);
  std::string name = value != nullptr ? value : "";
  std::free(value);
  return name;
}

std::expected<std::vector<std::string>, std::string> processors_read(const ArchivePointer& reader,
                                                                     int opened,
                                                                     const std::string& shown_as) {
  const auto unreadable = [&] {
    return std::unexpected(refusal(shown_as, "soubor, který nejde přečíst jako archiv zip",
                                   "archiv zip s balíčkem aplikace",
                                   "Podepisuj a ověřuj archiv, který vytvořil release, beze "
                                   "změny."));
  };
  if (opened != ARCHIVE_OK) {
    return unreadable();
  }
  const Utf8Names utf8;  // names read alike in any locale, as the installation reads them
  const std::string programs_below = std::string(bundle_program::programs_folder) + "/";
  std::optional<std::string> plist;
  std::map<std::string, std::optional<std::string>> programs;  // path below MacOS → processor
  archive_entry* entry = nullptr;
  int status = ARCHIVE_OK;
  while ((status = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK) {
    const std::string path = below_top(entry);
    if (archive_entry_filetype(entry) != AE_IFREG) {
      continue;
    }
    if (path == "Contents/Info.plist") {
      std::string bytes;
      if (!read_data(reader.get(), [&](auto piece) {
            bytes.append(reinterpret_cast<const char*>(piece.data()), piece.size());
            return bytes.size() <= max_info_plist_size;
          })) {
        return unreadable();
      }
      plist = std::move(bytes);
    } else if (path.starts_with(programs_below) &&
               std::ranges::count(path.substr(programs_below.size()), '/') <= 1) {
      programs[path.substr(programs_below.size())] = program_processor(reader.get());
    }
  }
  if (status != ARCHIVE_EOF) {
    return unreadable();
  }
  const auto name = plist ? executable_name(*plist) : std::nullopt;
  std::vector<std::string> carried;
  const auto carries = [&](const std::string& place, std::string_view folder) {
    const auto program = programs.find(place);
    const bool fits = program != programs.end() && program->second &&
                      (folder.empty() || *program->second == folder);
    if (fits && std::ranges::find(carried, *program->second) == carried.end()) {
      carried.push_back(*program->second);
    }
  };
  // The one rule of which program runs where: the single program, if there
  // is one, runs on every processor; else each processor's folder.
  if (name && bundle_program::is_program_name(*name)) {
    if (programs.contains(*name)) {
      carries(*name, {});
    } else {
      for (const std::string_view processor : bundle_program::processors) {
        carries(std::string(processor) + "/" + *name, processor);
      }
    }
  }
  if (carried.empty()) {
    return std::unexpected(
        refusal(shown_as, "archiv bez programu ELF pro známý procesor",
                "balíček s programem Contents/MacOS/" + name.value_or("<CFBundleExecutable>"),
                "Podepisuj archiv balíčku, jak ho vytvořil release (bundle, seal, notarize)."));
  }
  std::ranges::sort(carried);
  return carried;
}

ArchivePointer zip_reader() {
  ArchivePointer reader(archive_read_new(), &archive_read_free);
  archive_read_support_format_zip(reader.get());
  return reader;
}

}  // namespace

std::expected<std::vector<std::string>, std::string> archive_processors(
    std::span<const std::uint8_t> archive, const std::string& shown_as) {
  const ArchivePointer reader = zip_reader();
  const int opened = archive_read_open_memory(reader.get(), archive.data(), archive.size());
  return processors_read(reader, opened, shown_as);
}

std::expected<std::vector<std::string>, std::string> archive_processors(
    int fd, const std::string& shown_as) {
  const ArchivePointer reader = zip_reader();
  const int opened = archive_read_open_fd(reader.get(), fd, 1 << 16);
  return processors_read(reader, opened, shown_as);
}

std::expected<void, std::string> check_architectures_carried(
    const std::vector<std::string>& architectures, const std::vector<std::string>& carried,
    const std::string& shown_as) {
  const std::string listed = listed_processors(carried);
  for (const std::string& architecture : architectures) {
    if (std::ranges::find(carried, architecture) == carried.end()) {
      return std::unexpected(refusal(
          "Architektura " + architecture, "v archivu " + shown_as + " bez programu",
          "jen procesory, pro které archiv nese program (" + listed + ")",
          "Uživatelé s tímto procesorem by vydání nenainstalovali; uveď jen " + listed + "."));
    }
  }
  return {};
}

}  // namespace kelvoma::publish
