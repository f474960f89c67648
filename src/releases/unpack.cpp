// Unpacking with libarchive, in two passes over one open file. The first
// reads every entry header and writes nothing, so that an archive can be
// refused whole; the second writes what the first approved and counts the
// bytes again, since the sizes in a header are only claims.
#include "releases/unpack.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>

#include "releases/system_error.h"
#include "releases/unique_fd.h"
#include "releases/unpack_rules.h"

namespace kelvoma {
namespace {

constexpr std::string_view unpack_failed = "Balíček nelze rozbalit.";
constexpr std::size_t read_block_size = 256 * 1024;

// Permission bits only: set-user-ID, set-group-ID and sticky never survive.
constexpr mode_t kept_permission_bits = 0777;

// Owners are not restored (no ARCHIVE_EXTRACT_OWNER): the files belong to
// whoever installs them. Absolute names cannot be refused by the writer
// (ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS) because every entry is given one
// below the destination: the writer resolves relative names against the
// process's working directory, which a library must not change while other
// threads run. The archive's own names were refused when absolute in the
// first pass.
constexpr int extract_flags = ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME |
                              ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NODOTDOT;

struct ReaderFree {
  void operator()(archive* reader) const { archive_read_free(reader); }
};
struct WriterFree {
  void operator()(archive* writer) const { archive_write_free(writer); }
};
using ArchiveReader = std::unique_ptr<archive, ReaderFree>;
using DiskWriter = std::unique_ptr<archive, WriterFree>;

// A reader of zip files by their central directory, and of nothing else:
// no other format, no compression around the file.
ArchiveReader open_zip(int fd) {
  if (::lseek(fd, 0, SEEK_SET) != 0) {
    return nullptr;
  }
  ArchiveReader reader(archive_read_new());
  if (!reader || archive_read_support_format_zip_seekable(reader.get()) != ARCHIVE_OK ||
      archive_read_open_fd(reader.get(), fd, read_block_size) != ARCHIVE_OK) {
    return nullptr;
  }
  return reader;
}

std::optional<EntryKind> kind_of(archive_entry* entry) {
  switch (archive_entry_filetype(entry)) {
    case AE_IFREG:
      return EntryKind::file;
    case AE_IFDIR:
      return EntryKind::directory;
    case AE_IFLNK:
      return EntryKind::symbolic_link;
    default:
      return std::nullopt;
  }
}

enum class Next { entry, end, refused };

// The next entry, read without complaint from a zip: a file, folder or
// symbolic link, neither encrypted nor a hard link, with a known size.
Next read_header(archive* reader, archive_entry*& entry, EntryHeader& header) {
  const int status = archive_read_next_header(reader, &entry);
  if (status == ARCHIVE_EOF) {
    return Next::end;
  }
  if (status != ARCHIVE_OK ||
      (archive_format(reader) & ARCHIVE_FORMAT_BASE_MASK) != ARCHIVE_FORMAT_ZIP) {
    return Next::refused;
  }
  const auto kind = kind_of(entry);
  const char* name = archive_entry_pathname(entry);
  if (!kind || name == nullptr || archive_entry_is_encrypted(entry) != 0 ||
      archive_entry_hardlink(entry) != nullptr || archive_entry_size_is_set(entry) == 0 ||
      archive_entry_size(entry) < 0) {
    return Next::refused;
  }
  header = EntryHeader{
      .name = name, .kind = *kind, .size = static_cast<std::uint64_t>(archive_entry_size(entry))};
  return Next::entry;
}

// The first pass: every header, nothing written.
std::optional<EntryPlan> plan_entries(int fd) {
  const ArchiveReader reader = open_zip(fd);
  if (!reader) {
    return std::nullopt;
  }
  EntryPlan plan;
  for (;;) {
    archive_entry* entry = nullptr;
    EntryHeader header;
    const Next next = read_header(reader.get(), entry, header);
    if (next == Next::end) {
      break;
    }
    if (next == Next::refused || plan.entries().size() >= max_archive_entries ||
        !plan.add(std::move(header))) {
      return std::nullopt;
    }
  }
  if (plan.writes_through_links()) {
    return std::nullopt;
  }
  return plan;
}

// Whether the files' declared sizes stay within max_unpacked_bytes and, each
// rounded up to whole blocks, within the space the file system holding
// `destination` grants us.
std::expected<bool, std::string> fits_destination(const EntryPlan& plan,
                                                  const std::string& destination) {
  struct statvfs space {};
  if (::statvfs(destination.c_str(), &space) != 0) {
    return std::unexpected(system_error_text(errno));
  }
  const std::uint64_t block = space.f_frsize != 0 ? space.f_frsize : 1;
  std::uint64_t declared = 0;
  std::uint64_t in_blocks = 0;
  for (const EntryHeader& entry : plan.entries()) {
    if (entry.kind != EntryKind::file) {
      continue;
    }
    if (entry.size > max_unpacked_bytes - declared) {
      return false;
    }
    declared += entry.size;
    in_blocks += (entry.size + block - 1) / block * block;
  }
  return in_blocks <= std::uint64_t{space.f_bavail} * block;
}

// The bytes written so far, told to the progress (if any) after every block.
struct WrittenBytes {
  std::uint64_t count = 0;
  std::uint64_t declared = 0;  // by the files' headers, summed
  const UnpackProgress& progress;

  void add(std::size_t size) {
    count += size;
    if (progress) {
      progress(count, declared);
    }
  }
};

// Declared sizes of an approved plan: their sum is within max_unpacked_bytes.
std::uint64_t declared_file_bytes(const EntryPlan& plan) {
  std::uint64_t declared = 0;
  for (const EntryHeader& entry : plan.entries()) {
    declared += entry.kind == EntryKind::file ? entry.size : 0;
  }
  return declared;
}

// Copies one entry's data, refusing before any block that would take the
// entry past its declared size or the archive past max_unpacked_bytes.
bool copy_data(archive* reader, archive* disk, std::uint64_t declared, WrittenBytes& written) {
  for (;;) {
    const void* block = nullptr;
    std::size_t size = 0;
    la_int64_t offset = 0;
    const int status = archive_read_data_block(reader, &block, &size, &offset);
    if (status == ARCHIVE_EOF) {
      return true;
    }
    if (status != ARCHIVE_OK || offset < 0 || static_cast<std::uint64_t>(offset) > declared ||
        size > declared - static_cast<std::uint64_t>(offset) ||
        size > max_unpacked_bytes - written.count) {
      return false;
    }
    if (archive_write_data_block(disk, block, size, offset) != ARCHIVE_OK) {
      return false;
    }
    written.add(size);
  }
}

bool write_entry(archive* reader, archive* disk, archive_entry* entry, const EntryHeader& header,
                 const std::string& root, WrittenBytes& written) {
  archive_entry_set_pathname(entry, (root + "/" + header.name).c_str());
  archive_entry_set_perm(entry, archive_entry_perm(entry) & kept_permission_bits);
  if (archive_write_header(disk, entry) != ARCHIVE_OK) {
    return false;
  }
  if (header.kind == EntryKind::file && !copy_data(reader, disk, header.size, written)) {
    return false;
  }
  return archive_write_finish_entry(disk) == ARCHIVE_OK;
}

// The second pass: the entries the plan holds, in its order, below `root`.
// The archive is read afresh, so every header must be the planned one.
bool extract(int fd, const EntryPlan& plan, const std::string& root,
             const UnpackProgress& progress) {
  const ArchiveReader reader = open_zip(fd);
  const DiskWriter disk(archive_write_disk_new());
  if (!reader || !disk || archive_write_disk_set_options(disk.get(), extract_flags) != ARCHIVE_OK) {
    return false;
  }
  WrittenBytes written{.declared = progress ? declared_file_bytes(plan) : 0, .progress = progress};
  if (progress) {
    progress(0, written.declared);
  }
  archive_entry* entry = nullptr;
  EntryHeader header;
  for (const EntryHeader& planned : plan.entries()) {
    if (read_header(reader.get(), entry, header) != Next::entry || header != planned ||
        !write_entry(reader.get(), disk.get(), entry, header, root, written)) {
      return false;
    }
  }
  // Closing applies the folders' permission bits and times.
  return read_header(reader.get(), entry, header) == Next::end &&
         archive_write_close(disk.get()) == ARCHIVE_OK;
}

// The destination without symbolic links on the way, so that the writer's
// refusal to write through links judges the archive's links only.
std::expected<std::string, std::string> resolved(const std::string& destination) {
  const std::unique_ptr<char, decltype(&::free)> path(::realpath(destination.c_str(), nullptr),
                                                      &::free);
  if (!path) {
    return std::unexpected(system_error_text(errno));
  }
  return std::string(path.get());
}

bool is_plain_zip_file(int fd) {
  struct stat info {};
  return fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
         has_plain_zip_layout(fd, static_cast<std::uint64_t>(info.st_size));
}

}  // namespace

std::expected<void, std::string> unpack_archive(const std::string& archive,
                                                const std::string& destination,
                                                const UnpackProgress& progress) {
  if (::mkdir(destination.c_str(), 0777) != 0) {
    return std::unexpected(system_error_text(errno));
  }
  const UniqueFd fd(::open(archive.c_str(), O_RDONLY | O_CLOEXEC));
  if (!is_plain_zip_file(fd.get())) {
    return std::unexpected(std::string(unpack_failed));
  }
  const auto plan = plan_entries(fd.get());
  if (!plan) {
    return std::unexpected(std::string(unpack_failed));
  }
  const auto fits = fits_destination(*plan, destination);
  if (!fits) {
    return std::unexpected(fits.error());
  }
  const auto root = resolved(destination);
  if (!root) {
    return std::unexpected(root.error());
  }
  if (!*fits || !extract(fd.get(), *plan, *root, progress)) {
    return std::unexpected(std::string(unpack_failed));
  }
  return {};
}

}  // namespace kelvoma
