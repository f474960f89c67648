#include "release/zip_writer.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>

#include "install/unpack/unpack.h"
#include "support/refusal.h"
#include "verify/manifest.h"
#include "verify/util/system_error.h"
#include "verify/util/unique_fd.h"

namespace kelvoma::publish {
namespace {

namespace fs = std::filesystem;

// 1980-01-01 00:00:00, the first time a zip header can hold.
constexpr time_t fixed_time = 315532800;

struct Entry {
  std::string name;  // below the bundle; empty for the bundle itself
  struct stat status {};
};

// What the seal sees of a mode (the owner's execute bit) decides the
// archive's: the publisher's umask must not change the bytes.
mode_t archive_mode(mode_t mode) {
  if (S_ISLNK(mode)) {
    return 0777;
  }
  return S_ISDIR(mode) || (mode & S_IXUSR) != 0 ? 0755 : 0644;
}

struct ArchiveDeleter {
  void operator()(archive* a) const { archive_write_free(a); }
};
struct EntryDeleter {
  void operator()(archive_entry* e) const { archive_entry_free(e); }
};

std::expected<std::vector<Entry>, std::string> sorted_entries(const fs::path& bundle) {
  std::vector<Entry> entries(1);
  if (::lstat(bundle.c_str(), &entries[0].status) != 0) {
    return std::unexpected(bundle.string() + ": " + system_error_text(errno));
  }
  std::error_code error;
  for (fs::recursive_directory_iterator it(bundle, error), end; !error && it != end;
       it.increment(error)) {
    Entry entry{.name = it->path().lexically_relative(bundle).string()};
    if (::lstat(it->path().c_str(), &entry.status) != 0) {
      return std::unexpected(it->path().string() + ": " + system_error_text(errno));
    }
    const mode_t type = entry.status.st_mode & S_IFMT;
    if (type != S_IFDIR && type != S_IFREG && type != S_IFLNK) {
      return std::unexpected(it->path().string() +
                             ": do archivu patří jen složky, soubory a odkazy.");
    }
    entries.push_back(std::move(entry));
  }
  if (error) {
    return std::unexpected(bundle.string() + ": " + system_error_text(error.value()));
  }
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return entries;
}

std::string archive_failure(archive* writer) {
  const char* text = archive_error_string(writer);
  return std::string("Archiv nelze zapsat: ") + (text ? text : "neznámá chyba") + ".";
}

la_ssize_t append(archive*, void* data, const void* buffer, size_t length) {
  auto* bytes = static_cast<std::vector<std::uint8_t>*>(data);
  const auto* from = static_cast<const std::uint8_t*>(buffer);
  bytes->insert(bytes->end(), from, from + length);
  return static_cast<la_ssize_t>(length);
}

std::expected<void, std::string> write_contents(archive* writer, const fs::path& path) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) {
    return std::unexpected(path.string() + ": " + system_error_text(errno));
  }
  std::vector<char> block(1 << 20);
  while (true) {
    const ssize_t got = ::read(fd.get(), block.data(), block.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return std::unexpected(path.string() + ": " + system_error_text(errno));
    }
    if (got == 0) {
      return {};
    }
    if (archive_write_data(writer, block.data(), static_cast<size_t>(got)) != got) {
      return std::unexpected(archive_failure(writer));
    }
  }
}

std::expected<void, std::string> write_entry(archive* writer, const fs::path& bundle,
                                             const std::string& top, const Entry& entry) {
  const std::unique_ptr<archive_entry, EntryDeleter> header(archive_entry_new());
  const fs::path path = entry.name.empty() ? bundle : bundle / entry.name;
  const mode_t type = entry.status.st_mode & S_IFMT;
  archive_entry_set_pathname(header.get(),
                             (entry.name.empty() ? top : top + "/" + entry.name).c_str());
  archive_entry_set_filetype(header.get(), type);
  archive_entry_set_perm(header.get(), archive_mode(entry.status.st_mode));
  archive_entry_set_mtime(header.get(), fixed_time, 0);
  archive_entry_set_uid(header.get(), 0);
  archive_entry_set_gid(header.get(), 0);
  if (type == S_IFREG) {
    archive_entry_set_size(header.get(), entry.status.st_size);
  }
  if (type == S_IFLNK) {
    std::error_code error;
    const fs::path target = fs::read_symlink(path, error);
    if (error) {
      return std::unexpected(path.string() + ": " + system_error_text(error.value()));
    }
    archive_entry_set_symlink(header.get(), target.c_str());
  }
  if (archive_write_header(writer, header.get()) != ARCHIVE_OK) {
    return std::unexpected(archive_failure(writer));
  }
  return type == S_IFREG ? write_contents(writer, path) : std::expected<void, std::string>{};
}

}  // namespace

std::expected<void, std::string> check_unpacked_limits(std::uint64_t entries, std::uint64_t bytes) {
  if (entries > max_archive_entries) {
    return std::unexpected(refusal("Počet položek balíčku", std::to_string(entries),
                                   "nejvýš " + std::to_string(max_archive_entries),
                                   "Instalace víc položek nerozbalí; spoj drobné soubory do "
                                   "větších (např. jeden archiv dat, který program čte sám)."));
  }
  if (bytes > max_unpacked_bytes) {
    return std::unexpected(refusal("Velikost souborů balíčku", std::to_string(bytes) + " B",
                                   "nejvýš " + std::to_string(max_unpacked_bytes) + " B (2 GiB)",
                                   "Instalace víc nerozbalí; velká data nebal a stahuj je až "
                                   "při prvním spuštění programu."));
  }
  return {};
}

std::expected<void, std::string> check_archive_size(std::uint64_t bytes) {
  if (bytes > max_archive_size) {
    return std::unexpected(refusal("Velikost archivu", std::to_string(bytes) + " B",
                                   "nejvýš " + std::to_string(max_archive_size) + " B (256 MiB)",
                                   "Instalace větší archiv nestáhne; zmenši balíček (strip "
                                   "ladicích symbolů, velká data stahuj až při prvním spuštění)."));
  }
  return {};
}

std::expected<std::vector<std::uint8_t>, std::string> zip_bundle(const std::string& bundle,
                                                                 const std::string& top) {
  const auto entries = sorted_entries(bundle);
  if (!entries) {
    return std::unexpected(entries.error());
  }
  std::uint64_t unpacked = 0;
  for (const Entry& entry : *entries) {
    unpacked += static_cast<std::uint64_t>(entry.status.st_size);
  }
  if (auto fits = check_unpacked_limits(entries->size(), unpacked); !fits) {
    return std::unexpected(fits.error());
  }
  // Room for the files stored as they are and their headers: the archive is
  // never copied while it grows.
  std::uint64_t room = 0;
  for (const Entry& entry : *entries) {
    room += static_cast<std::uint64_t>(entry.status.st_size) + 2 * entry.name.size() + 200;
  }
  std::vector<std::uint8_t> bytes;
  bytes.reserve(room);
  const std::unique_ptr<archive, ArchiveDeleter> writer(archive_write_new());
  archive_write_set_format_zip(writer.get());
  archive_write_zip_set_compression_deflate(writer.get());
  archive_write_set_bytes_in_last_block(writer.get(), 1);  // no padding after the end record
  if (archive_write_open2(writer.get(), &bytes, nullptr, append, nullptr, nullptr) != ARCHIVE_OK) {
    return std::unexpected(archive_failure(writer.get()));
  }
  for (const Entry& entry : *entries) {
    if (auto written = write_entry(writer.get(), bundle, top, entry); !written) {
      return std::unexpected(written.error());
    }
  }
  if (archive_write_close(writer.get()) != ARCHIVE_OK) {
    return std::unexpected(archive_failure(writer.get()));
  }
  if (auto fits = check_archive_size(bytes.size()); !fits) {
    return std::unexpected(fits.error());
  }
  return bytes;
}

}  // namespace kelvoma::publish
