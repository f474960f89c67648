// Unpacking in two passes over one open file, libarchive reading. The
// first reads every entry header and writes nothing, so that an archive can
// be refused whole; the second writes what the first approved, by
// descriptor (unpack_writer.h), and counts the bytes again, since the sizes
// in a header are only claims.
#include "install/unpack/unpack.h"

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
#include <span>
#include <string>

#include "install/files/file_io.h"
#include "install/unpack/unpack_rules.h"
#include "install/unpack/unpack_writer.h"
#include "install/unpack/utf8_names.h"
#include "verify/util/system_error.h"
#include "verify/util/unique_fd.h"

namespace kelvoma {
namespace {

constexpr std::string_view unpack_failed = "Balíček nelze rozbalit.";
// Large blocks: a stored entry reaches the disk in as few writes.
constexpr std::size_t read_block_size = 1024 * 1024;

struct ReaderFree {
  void operator()(archive* reader) const { archive_read_free(reader); }
};
using ArchiveReader = std::unique_ptr<archive, ReaderFree>;

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
  // Read as UTF-8 (utf8_names.h): a name that is not UTF-8 has none, and
  // the archive is refused.
  const char* name = archive_entry_pathname_utf8(entry);
  if (!kind || name == nullptr || archive_entry_is_encrypted(entry) != 0 ||
      archive_entry_hardlink_utf8(entry) != nullptr || archive_entry_size_is_set(entry) == 0 ||
      archive_entry_size(entry) < 0) {
    return Next::refused;
  }
  header = EntryHeader{
      .name = name, .kind = *kind, .size = static_cast<std::uint64_t>(archive_entry_size(entry))};
  return Next::entry;
}

// The first pass: every header, nothing written.
std::optional<EntryPlan> plan_entries(int fd, const std::string& root) {
  const ArchiveReader reader = open_zip(fd);
  if (!reader) {
    return std::nullopt;
  }
  EntryPlan plan(root.size());
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
// the destination (open as `root_fd`) grants us.
std::expected<bool, std::string> fits_destination(const EntryPlan& plan, int root_fd) {
  struct statvfs space {};
  if (::fstatvfs(root_fd, &space) != 0) {
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

// Copies one entry's data, in the blocks libarchive hands over, refusing
// before any block that would take the entry past its declared size or the
// archive past max_unpacked_bytes. Zip data comes without holes: every
// block starts where the one before ended.
bool copy_data(archive* reader, int file, std::uint64_t declared, WrittenBytes& written) {
  std::uint64_t at = 0;
  for (;;) {
    const void* block = nullptr;
    std::size_t size = 0;
    la_int64_t offset = 0;
    const int status = archive_read_data_block(reader, &block, &size, &offset);
    if (status == ARCHIVE_EOF) {
      return true;
    }
    if (status != ARCHIVE_OK || offset < 0 || static_cast<std::uint64_t>(offset) != at ||
        size > declared - at || size > max_unpacked_bytes - written.count ||
        write_all(file, {static_cast<const std::uint8_t*>(block), size}) != 0) {
      return false;
    }
    at += size;
    written.add(size);
  }
}

EntryTimes times_of(archive_entry* entry) {
  EntryTimes times;
  if (archive_entry_atime_is_set(entry) != 0) {
    times.access =
        timespec{.tv_sec = archive_entry_atime(entry), .tv_nsec = archive_entry_atime_nsec(entry)};
  }
  if (archive_entry_mtime_is_set(entry) != 0) {
    times.modification =
        timespec{.tv_sec = archive_entry_mtime(entry), .tv_nsec = archive_entry_mtime_nsec(entry)};
  }
  return times;
}

// One entry, with the archive's permission bits (or libarchive's defaults
// for entries without any) less the special bits and the process's mask,
// as an extractor run by the user would, and with its times.
bool write_entry(archive* reader, archive_entry* entry, const EntryHeader& header,
                 EntryWriter& writer, WrittenBytes& written) {
  const mode_t mode = archive_entry_perm(entry);
  switch (header.kind) {
    case EntryKind::directory:
      return writer.add_folder(header.name, mode, times_of(entry));
    case EntryKind::symbolic_link: {
      const char* target = archive_entry_symlink_utf8(entry);
      return target != nullptr && writer.add_link(header.name, target, times_of(entry));
    }
    case EntryKind::file: {
      UniqueFd file = writer.add_file(header.name);
      return file && copy_data(reader, file.get(), header.size, written) &&
             writer.finish_file(std::move(file), mode, times_of(entry));
    }
  }
  return false;
}

// The second pass: the entries the plan holds, in its order, below the
// destination. The archive is read afresh, so every header must be the
// planned one.
bool extract(int fd, const EntryPlan& plan, EntryWriter& writer, const UnpackProgress& progress) {
  const ArchiveReader reader = open_zip(fd);
  if (!reader) {
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
        !write_entry(reader.get(), entry, header, writer, written)) {
      return false;
    }
  }
  return read_header(reader.get(), entry, header) == Next::end && writer.finish();
}

// The destination's path without symbolic links, whose length the plan
// judges.
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

// The destination, made for us alone and opened; never a link put there.
std::expected<UniqueFd, std::string> make_destination(const std::string& destination) {
  if (::mkdir(destination.c_str(), 0700) != 0) {
    return std::unexpected(system_error_text(errno));
  }
  UniqueFd root(::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!root) {
    return std::unexpected(system_error_text(errno));
  }
  return root;
}

}  // namespace

std::expected<void, std::string> unpack_archive(int archive_fd, const std::string& destination,
                                                const UnpackProgress& progress) {
  const auto root_fd = make_destination(destination);
  if (!root_fd) {
    return std::unexpected(root_fd.error());
  }
  const auto root = resolved(destination);
  if (!root) {
    return std::unexpected(root.error());
  }
  if (!is_plain_zip_file(archive_fd)) {
    return std::unexpected(std::string(unpack_failed));
  }
  const Utf8Names utf8_names;  // both passes read the names alike
  const auto plan = plan_entries(archive_fd, *root);
  if (!plan) {
    return std::unexpected(std::string(unpack_failed));
  }
  const auto fits = fits_destination(*plan, root_fd->get());
  if (!fits) {
    return std::unexpected(fits.error());
  }
  if (!*fits) {
    return std::unexpected(std::string(unpack_failed));
  }
  // Without the lookup the writer relies on, nothing is unpacked, and the
  // message says why rather than blaming the archive.
  if (const int error = beneath_lookup_error(root_fd->get()); error != 0) {
    return std::unexpected(system_error_text(error));
  }
  EntryWriter writer(root_fd->get(), process_umask(root_fd->get()));
  if (!extract(archive_fd, *plan, writer, progress)) {
    return std::unexpected(std::string(unpack_failed));
  }
  return {};
}

}  // namespace kelvoma
