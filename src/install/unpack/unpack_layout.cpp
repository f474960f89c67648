// The layout of a zip file, read byte by byte before libarchive sees it:
// the end record that libarchive will choose, the central directory it
// points to, and every name as the file stores it. libarchive hands names
// over as C strings, so a NUL inside one would silently shorten it; here
// the raw bytes are read.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "install/unpack/unpack.h"
#include "install/unpack/unpack_rules.h"

namespace kelvoma {
namespace {

constexpr std::array<char, 4> local_header_signature = {'P', 'K', 3, 4};
constexpr std::array<char, 4> central_record_signature = {'P', 'K', 1, 2};
constexpr std::array<char, 4> end_record_signature = {'P', 'K', 5, 6};
constexpr std::array<char, 4> zip64_locator_signature = {'P', 'K', 6, 7};
constexpr std::array<char, 4> zip64_end_signature = {'P', 'K', 6, 6};
constexpr std::uint64_t end_record_size = 22;
constexpr std::uint64_t zip64_locator_size = 20;
constexpr std::uint64_t zip64_end_size = 56;
constexpr std::uint64_t central_record_size = 46;
constexpr std::uint64_t local_header_size = 30;
constexpr std::uint64_t max_comment_size = 0xffff;
constexpr std::uint16_t zip64_extra_id = 0x0001;
constexpr std::uint16_t unicode_path_extra_id = 0x7075;

bool read_exactly(int fd, std::uint64_t offset, std::span<char> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got =
        ::pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

std::uint64_t little_endian(const char* at, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes; i-- > 0;) {
    value = value << 8 | static_cast<unsigned char>(at[i]);
  }
  return value;
}

bool has_signature(const char* at, const std::array<char, 4>& signature) {
  return std::memcmp(at, signature.data(), signature.size()) == 0;
}

// libarchive's own test of an end record it meets while searching backwards
// from the end of the file: it takes the first one that passes.
bool libarchive_takes(const char* record, std::uint64_t at) {
  return little_endian(record + 4, 2) == 0 && little_endian(record + 6, 2) == 0 &&
         little_endian(record + 8, 2) == little_endian(record + 10, 2) &&
         little_endian(record + 16, 4) + little_endian(record + 12, 4) <= at;
}

struct EndRecord {
  std::uint64_t offset;
  std::array<char, end_record_size> bytes;
};

// The last end record whose comment reaches the end of the file, provided
// that libarchive would take no record after it.
std::optional<EndRecord> find_end_record(int fd, std::uint64_t file_size) {
  if (file_size < end_record_size) {
    return std::nullopt;
  }
  const std::uint64_t tail_size = std::min(file_size, end_record_size + max_comment_size);
  std::vector<char> tail(tail_size);
  const std::uint64_t tail_offset = file_size - tail_size;
  if (!read_exactly(fd, tail_offset, tail)) {
    return std::nullopt;
  }
  for (std::size_t at = tail.size() - end_record_size + 1; at-- > 0;) {
    const char* record = tail.data() + at;
    if (!has_signature(record, end_record_signature)) {
      continue;
    }
    if (little_endian(record + 20, 2) == tail.size() - at - end_record_size) {
      EndRecord found{.offset = tail_offset + at, .bytes = {}};
      std::copy_n(record, end_record_size, found.bytes.begin());
      return found;
    }
    if (libarchive_takes(record, tail_offset + at)) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

struct CentralDirectory {
  std::uint64_t offset;
  std::uint64_t size;
  std::uint64_t entries;
};

// Where the central directory lies by the zip64 records, which libarchive
// prefers whenever their locator precedes the end record. They must meet
// the locator exactly.
std::optional<CentralDirectory> zip64_directory(int fd, std::uint64_t locator_offset) {
  std::array<char, zip64_locator_size> locator{};
  std::array<char, zip64_end_size> record{};
  if (!read_exactly(fd, locator_offset, locator) ||
      !has_signature(locator.data(), zip64_locator_signature)) {
    return std::nullopt;
  }
  const std::uint64_t record_offset = little_endian(locator.data() + 8, 8);
  if (record_offset > locator_offset || locator_offset - record_offset < zip64_end_size ||
      !read_exactly(fd, record_offset, record) ||
      !has_signature(record.data(), zip64_end_signature) ||
      little_endian(record.data() + 4, 8) != locator_offset - record_offset - 12) {
    return std::nullopt;
  }
  const CentralDirectory directory{.offset = little_endian(record.data() + 48, 8),
                                   .size = little_endian(record.data() + 40, 8),
                                   .entries = little_endian(record.data() + 32, 8)};
  if (directory.offset > record_offset || record_offset - directory.offset != directory.size) {
    return std::nullopt;
  }
  return directory;
}

// The central directory that the end record names, ending exactly where the
// record (or the zip64 record) begins: the one libarchive reads, without
// the offset correction it applies to archives behind a stub.
std::optional<CentralDirectory> central_directory(int fd, const EndRecord& end) {
  std::array<char, 4> before{};
  if (end.offset >= zip64_locator_size &&
      read_exactly(fd, end.offset - zip64_locator_size, before) &&
      has_signature(before.data(), zip64_locator_signature)) {
    return zip64_directory(fd, end.offset - zip64_locator_size);
  }
  const CentralDirectory directory{.offset = little_endian(end.bytes.data() + 16, 4),
                                   .size = little_endian(end.bytes.data() + 12, 4),
                                   .entries = little_endian(end.bytes.data() + 10, 2)};
  if (directory.offset + directory.size != end.offset) {
    return std::nullopt;
  }
  return directory;
}

// Extra fields: a Unicode path must hold no NUL either; the zip64 field
// gives the local header's offset when the record's own field is full.
struct ExtraFields {
  bool clean = true;
  std::optional<std::uint64_t> zip64_local_offset;
};

ExtraFields read_extra(std::string_view extra, int zip64_skipped) {
  ExtraFields fields;
  while (extra.size() >= 4) {
    const auto id = static_cast<std::uint16_t>(little_endian(extra.data(), 2));
    const std::size_t size =
        std::min<std::size_t>(little_endian(extra.data() + 2, 2), extra.size() - 4);
    const std::string_view data = extra.substr(4, size);
    if (id == unicode_path_extra_id && data.size() >= 5 &&
        data.substr(5).find('\0') != std::string_view::npos) {
      fields.clean = false;
    }
    const std::size_t at = static_cast<std::size_t>(zip64_skipped) * 8;
    if (id == zip64_extra_id && data.size() >= at + 8) {
      fields.zip64_local_offset = little_endian(data.data() + at, 8);
    }
    extra.remove_prefix(4 + size);
  }
  return fields;
}

// The name and extra fields of a header, as stored.
std::optional<std::vector<char>> read_variable(int fd, std::uint64_t offset, std::size_t size) {
  std::vector<char> bytes(size);
  if (!read_exactly(fd, offset, bytes)) {
    return std::nullopt;
  }
  return bytes;
}

bool clean_name(const std::vector<char>& bytes, std::size_t name_size, int zip64_skipped,
                ExtraFields& fields) {
  const std::string_view all(bytes.data(), bytes.size());
  fields = read_extra(all.substr(name_size), zip64_skipped);
  return fields.clean && all.substr(0, name_size).find('\0') == std::string_view::npos;
}

bool clean_local_header(int fd, std::uint64_t offset) {
  std::array<char, local_header_size> header{};
  if (!read_exactly(fd, offset, header) || !has_signature(header.data(), local_header_signature)) {
    return false;
  }
  const std::size_t name_size = little_endian(header.data() + 26, 2);
  const auto variable = read_variable(fd, offset + local_header_size,
                                      name_size + little_endian(header.data() + 28, 2));
  ExtraFields fields;
  return variable && clean_name(*variable, name_size, 0, fields);
}

// Every central-directory record and the local header it points to hold
// names without NUL, and the records fill the directory exactly.
bool raw_names_clean(int fd, const CentralDirectory& directory) {
  if (directory.entries > max_archive_entries) {
    return false;
  }
  std::uint64_t offset = directory.offset;
  const std::uint64_t end = directory.offset + directory.size;
  for (std::uint64_t entry = 0; entry < directory.entries; ++entry) {
    std::array<char, central_record_size> record{};
    if (end - offset < central_record_size || !read_exactly(fd, offset, record) ||
        !has_signature(record.data(), central_record_signature)) {
      return false;
    }
    const std::size_t name_size = little_endian(record.data() + 28, 2);
    const std::size_t extra_size = little_endian(record.data() + 30, 2);
    const auto variable = read_variable(fd, offset + central_record_size, name_size + extra_size);
    // The zip64 field holds the sizes first, each only when its own field is full.
    const int skipped = (little_endian(record.data() + 24, 4) == 0xffffffff ? 1 : 0) +
                        (little_endian(record.data() + 20, 4) == 0xffffffff ? 1 : 0);
    ExtraFields fields;
    if (!variable || !clean_name(*variable, name_size, skipped, fields)) {
      return false;
    }
    std::uint64_t local = little_endian(record.data() + 42, 4);
    if (local == 0xffffffff && fields.zip64_local_offset) {
      local = *fields.zip64_local_offset;
    }
    if (!clean_local_header(fd, local)) {
      return false;
    }
    offset += central_record_size + name_size + extra_size + little_endian(record.data() + 32, 2);
    if (offset > end) {
      return false;
    }
  }
  return offset == end;
}

}  // namespace

bool has_plain_zip_layout(int fd, std::uint64_t file_size) {
  std::array<char, 4> start{};
  if (!read_exactly(fd, 0, start) || !has_signature(start.data(), local_header_signature)) {
    return false;
  }
  const auto end = find_end_record(fd, file_size);
  if (!end) {
    return false;
  }
  const auto directory = central_directory(fd, *end);
  return directory && raw_names_clean(fd, *directory);
}

}  // namespace kelvoma
