// Unpacking with the system's archive tool, after a look at every entry name
// the archive declares. bsdtar on its own refuses ".." and writes through
// symbolic links but silently turns absolute names into relative ones; an
// archive with such names is not one the publisher made, so it is refused as
// a whole before anything is written.
#include "releases/unpack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string_view>
#include <vector>

#include "releases/command.h"
#include "releases/system_error.h"

namespace kelvoma {
namespace {

constexpr std::string_view unpack_failed = "Balíček nelze rozbalit.";

constexpr std::uint32_t end_of_directory_signature = 0x06054b50;
constexpr std::uint32_t zip64_end_signature = 0x06064b50;
constexpr std::uint32_t zip64_locator_signature = 0x07064b50;
constexpr std::uint32_t central_header_signature = 0x02014b50;
constexpr std::uint32_t local_header_signature = 0x04034b50;
constexpr std::size_t end_of_directory_size = 22;
constexpr std::size_t zip64_locator_size = 20;
constexpr std::size_t zip64_end_size = 56;
constexpr std::size_t central_header_size = 46;
constexpr std::size_t local_header_size = 30;
constexpr std::size_t max_comment_size = 0xffff;
constexpr std::uint16_t zip64_extra_id = 0x0001;
constexpr std::uint16_t unicode_path_extra_id = 0x7075;

std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

std::uint32_t le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(le16(p)) | (static_cast<std::uint32_t>(le16(p + 2)) << 16);
}

std::uint64_t le64(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(le32(p)) | (static_cast<std::uint64_t>(le32(p + 4)) << 32);
}

// Reads exactly `length` bytes at `offset`, or nothing.
std::optional<std::vector<std::uint8_t>> read_at(int fd, std::uint64_t file_size,
                                                 std::uint64_t offset, std::uint64_t length) {
  if (offset > file_size || length > file_size - offset) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes(length);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got =
        ::pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return std::nullopt;
    }
    done += static_cast<std::size_t>(got);
  }
  return bytes;
}

// A name that stays below the destination: not empty, no NUL, not absolute
// (also in the DOS forms "\x" and "C:"), and no ".." component whichever
// separator is used.
bool is_contained_name(std::string_view name) {
  if (name.empty() || name.find('\0') != std::string_view::npos) {
    return false;
  }
  if (name.front() == '/' || name.front() == '\\') {
    return false;
  }
  if (name.size() >= 2 && name[1] == ':') {
    return false;
  }
  std::size_t start = 0;
  while (start <= name.size()) {
    const std::size_t end = name.find_first_of("/\\", start);
    const std::string_view component =
        name.substr(start, end == std::string_view::npos ? name.size() - start : end - start);
    if (component == "..") {
      return false;
    }
    if (end == std::string_view::npos) {
      break;
    }
    start = end + 1;
  }
  return true;
}

// "a//./b/" and "a/b" name the same place.
std::string normalized_name(std::string_view name) {
  std::string result;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string_view::npos) {
      end = name.size();
    }
    const std::string_view component = name.substr(start, end - start);
    if (!component.empty() && component != ".") {
      if (!result.empty()) {
        result += '/';
      }
      result += component;
    }
    start = end + 1;
  }
  return result;
}

struct ExtraFields {
  std::optional<std::uint64_t> local_offset;  // from the zip64 field, when asked for
  std::vector<std::string_view> unicode_paths;
  bool well_formed = true;
};

ExtraFields read_extra_fields(std::span<const std::uint8_t> extra, bool wants_offset,
                              std::size_t zip64_skip) {
  ExtraFields fields;
  std::size_t at = 0;
  while (at + 4 <= extra.size()) {
    const std::uint16_t id = le16(&extra[at]);
    const std::uint16_t size = le16(&extra[at + 2]);
    at += 4;
    if (size > extra.size() - at) {
      fields.well_formed = false;
      return fields;
    }
    const auto data = extra.subspan(at, size);
    if (id == unicode_path_extra_id && data.size() >= 5) {
      fields.unicode_paths.emplace_back(reinterpret_cast<const char*>(data.data() + 5),
                                        data.size() - 5);
    }
    if (id == zip64_extra_id && wants_offset && data.size() >= zip64_skip + 8) {
      fields.local_offset = le64(data.data() + zip64_skip);
    }
    at += size;
  }
  return fields;
}

struct Directory {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  std::uint64_t entries = 0;
};

std::optional<Directory> read_zip64_directory(int fd, std::uint64_t file_size,
                                              std::uint64_t end_offset) {
  if (end_offset < zip64_locator_size) {
    return std::nullopt;
  }
  const auto locator = read_at(fd, file_size, end_offset - zip64_locator_size, zip64_locator_size);
  if (!locator || le32(locator->data()) != zip64_locator_signature) {
    return std::nullopt;
  }
  const auto record = read_at(fd, file_size, le64(locator->data() + 8), zip64_end_size);
  if (!record || le32(record->data()) != zip64_end_signature) {
    return std::nullopt;
  }
  return Directory{.offset = le64(record->data() + 48),
                   .size = le64(record->data() + 40),
                   .entries = le64(record->data() + 32)};
}

// The central directory named by the last end record of the file.
std::optional<Directory> find_directory(int fd, std::uint64_t file_size) {
  if (file_size < end_of_directory_size) {
    return std::nullopt;
  }
  const std::uint64_t tail_size =
      std::min<std::uint64_t>(file_size, end_of_directory_size + max_comment_size);
  const auto tail = read_at(fd, file_size, file_size - tail_size, tail_size);
  if (!tail) {
    return std::nullopt;
  }
  for (std::size_t at = tail->size() - end_of_directory_size + 1; at-- > 0;) {
    const std::uint8_t* record = tail->data() + at;
    if (le32(record) != end_of_directory_signature ||
        le16(record + 20) != tail->size() - at - end_of_directory_size) {
      continue;
    }
    const std::uint64_t end_offset = file_size - tail_size + at;
    if (le16(record + 10) == 0xffff || le32(record + 12) == 0xffffffff ||
        le32(record + 16) == 0xffffffff) {
      return read_zip64_directory(fd, file_size, end_offset);
    }
    if (le16(record + 4) != 0 || le16(record + 6) != 0) {
      return std::nullopt;  // split archives are not ours
    }
    return Directory{
        .offset = le32(record + 16), .size = le32(record + 12), .entries = le16(record + 10)};
  }
  return std::nullopt;
}

bool is_symbolic_link_entry(const std::uint8_t* header) {
  const std::uint32_t mode = le32(header + 38) >> 16;
  return (mode & S_IFMT) == S_IFLNK;
}

// The names in the entry's local header (and its Unicode path field) must be
// as contained as those in the central directory: an extractor may prefer
// either.
bool local_names_contained(int fd, std::uint64_t file_size, std::uint64_t offset) {
  const auto header = read_at(fd, file_size, offset, local_header_size);
  if (!header || le32(header->data()) != local_header_signature) {
    return false;
  }
  const std::uint16_t name_size = le16(header->data() + 26);
  const std::uint16_t extra_size = le16(header->data() + 28);
  const auto rest = read_at(fd, file_size, offset + local_header_size,
                            static_cast<std::uint64_t>(name_size) + extra_size);
  if (!rest) {
    return false;
  }
  const std::string_view name(reinterpret_cast<const char*>(rest->data()), name_size);
  const ExtraFields extra =
      read_extra_fields(std::span(*rest).subspan(name_size), /*wants_offset=*/false, 0);
  if (!extra.well_formed || !is_contained_name(name)) {
    return false;
  }
  for (const std::string_view path : extra.unicode_paths) {
    if (!is_contained_name(path)) {
      return false;
    }
  }
  return true;
}

struct EntryNames {
  std::vector<std::string> all;          // normalized
  std::set<std::string> symbolic_links;  // normalized
};

// Walks the central directory; false when the archive is not a readable zip
// or any entry would land outside the destination.
bool collect_entry_names(int fd, std::uint64_t file_size, EntryNames& names) {
  const auto directory_location = find_directory(fd, file_size);
  if (!directory_location) {
    return false;
  }
  const auto directory =
      read_at(fd, file_size, directory_location->offset, directory_location->size);
  if (!directory) {
    return false;
  }
  std::size_t at = 0;
  for (std::uint64_t entry = 0; entry < directory_location->entries; ++entry) {
    if (directory->size() - at < central_header_size) {
      return false;
    }
    const std::uint8_t* header = directory->data() + at;
    if (le32(header) != central_header_signature) {
      return false;
    }
    const std::size_t name_size = le16(header + 28);
    const std::size_t extra_size = le16(header + 30);
    const std::size_t comment_size = le16(header + 32);
    const std::size_t variable = name_size + extra_size + comment_size;
    if (directory->size() - at - central_header_size < variable) {
      return false;
    }
    const std::string_view name(reinterpret_cast<const char*>(header + central_header_size),
                                name_size);
    // The zip64 field lists the large values in a fixed order; the offset
    // follows the two sizes when they are present.
    const bool offset_in_extra = le32(header + 42) == 0xffffffff;
    const std::size_t skip =
        (le32(header + 24) == 0xffffffff ? 8 : 0) + (le32(header + 20) == 0xffffffff ? 8 : 0);
    const ExtraFields extra = read_extra_fields(
        std::span(header + central_header_size + name_size, extra_size), offset_in_extra, skip);
    if (!extra.well_formed || !is_contained_name(name) ||
        (offset_in_extra && !extra.local_offset)) {
      return false;
    }
    std::set<std::string> entry_names{normalized_name(name)};
    for (const std::string_view path : extra.unicode_paths) {
      if (!is_contained_name(path)) {
        return false;
      }
      entry_names.insert(normalized_name(path));
    }
    const std::uint64_t local_offset = offset_in_extra ? *extra.local_offset : le32(header + 42);
    if (!local_names_contained(fd, file_size, local_offset)) {
      return false;
    }
    for (const std::string& entry_name : entry_names) {
      if (is_symbolic_link_entry(header)) {
        names.symbolic_links.insert(entry_name);
      }
      names.all.push_back(entry_name);
    }
    at += central_header_size + variable;
  }
  return true;
}

// No entry may lie below a symbolic link of the archive, nor be written over
// one: both would be writes through the link.
bool writes_through_links(const EntryNames& names) {
  if (names.symbolic_links.empty()) {
    return false;
  }
  std::set<std::string> seen_links;
  for (const std::string& name : names.all) {
    for (std::size_t slash = name.find('/'); slash != std::string::npos;
         slash = name.find('/', slash + 1)) {
      if (names.symbolic_links.contains(name.substr(0, slash))) {
        return true;
      }
    }
    if (names.symbolic_links.contains(name) && !seen_links.insert(name).second) {
      return true;
    }
  }
  return false;
}

bool archive_entries_are_contained(const std::string& archive) {
  const UniqueFd fd(::open(archive.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return false;
  }
  EntryNames names;
  if (!collect_entry_names(fd.get(), static_cast<std::uint64_t>(info.st_size), names)) {
    return false;
  }
  return !writes_through_links(names);
}

}  // namespace

std::expected<void, std::string> unpack_archive(const CoreConfig& config,
                                                const std::string& archive,
                                                const std::string& destination) {
  if (::mkdir(destination.c_str(), 0777) != 0) {
    return std::unexpected(system_error_text(errno));
  }
  if (!archive_entries_are_contained(archive)) {
    return std::unexpected(std::string(unpack_failed));
  }
  // bsdtar keeps its own refusals of ".." and of writes through symbolic
  // links as a second line. Owners recorded in the archive are not applied:
  // the installed files belong to whoever installs them.
  return run_command(
      Command{.program = config.bsdtar,
              .arguments = {"-x", "--no-same-owner", "-f", archive, "-C", destination}},
      unpack_failed);
}

}  // namespace kelvoma
