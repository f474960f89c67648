#include "trash.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>

#include "mount_table.h"
#include "replaced_file.h"

namespace kelvoma::app::system {
namespace {

constexpr const char* kNoTrash =
    "Koš na disku s aplikací není k dispozici. Aplikace zůstala na svém místě.";
constexpr const char* kMoveFailed =
    "Aplikaci se nepodařilo přesunout do koše. Zůstala na svém místě.";
constexpr const char* kOccupied = "Na původním místě aplikace teď něco je. Zůstala v koši.";
constexpr const char* kRestoreFailed = "Aplikaci se nepodařilo vrátit z koše.";
constexpr const char* kGone = "Aplikace už v koši není.";

struct Trash {
  std::string folder;
  std::string shownPath;  // the record's Path: absolute in the home trash, else below its top
};

std::optional<dev_t> deviceOf(const std::string& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) {
    return std::nullopt;
  }
  return status.st_dev;
}

// path with its folder's links resolved; the last name stays, so what is
// renamed is what lies at path, link or not.
std::optional<std::string> resolvedPath(const std::string& path) {
  const std::filesystem::path given(path);
  char* folder = realpath(given.parent_path().c_str(), nullptr);
  if (folder == nullptr) {
    return std::nullopt;
  }
  std::string resolved = folder;
  free(folder);
  return (resolved == "/" ? "" : resolved) + "/" + given.filename().string();
}

// The highest folder above a resolved path on the same device, for want of a
// mount table.
std::string topdirByDevice(const std::string& resolved, dev_t device) {
  std::filesystem::path top = std::filesystem::path(resolved).parent_path();
  while (top.has_parent_path() && top != top.root_path() &&
         deviceOf(top.parent_path().string()) == device) {
    top = top.parent_path();
  }
  return top.string();
}

bool isOwnFolder(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == getuid();
}

bool makeFolder(const std::string& path) {
  return (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) && isOwnFolder(path);
}

// The home trash only for a bundle on the very mount (and device) of the
// home trash: a bundle reached through a link, or on another mount of the
// same disk, goes to the trash at the top of its own mount, where the
// desktop's trash views look for it.
std::optional<Trash> trashFor(const std::string& path, const TrashPlaces& places) {
  const auto device = deviceOf(path);
  const auto resolved = resolvedPath(path);
  std::error_code ignored;
  std::filesystem::create_directories(places.dataHome, ignored);
  const auto home = resolvedPath(places.dataHome + "/Trash");
  if (!device || !resolved) {
    return std::nullopt;
  }
  const auto mount = mountHolding(*resolved);
  const auto homeMount = home ? mountHolding(*home) : std::nullopt;
  const bool sameMount = !mount || !homeMount || mount->id == homeMount->id;
  if (home && sameMount && deviceOf(std::filesystem::path(*home).parent_path()) == device) {
    return Trash{.folder = places.dataHome + "/Trash", .shownPath = path};
  }
  const std::string topdir = mount ? mount->point : topdirByDevice(*resolved, *device);
  if (*resolved == topdir) {
    return std::nullopt;  // a mount point is not moved
  }
  const std::string shown = resolved->substr(topdir.size() + (topdir == "/" ? 0 : 1));
  // "$topdir/.Trash" is shared only when it is a real folder with the sticky
  // bit, and "$uid" in it only when it is the user's own folder.
  const std::string shared = topdir + "/.Trash";
  struct stat status {};
  if (lstat(shared.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
      (status.st_mode & S_ISVTX) != 0) {
    const std::string own = shared + "/" + std::to_string(places.uid);
    if (makeFolder(own)) {
      return Trash{.folder = own, .shownPath = shown};
    }
  }
  return Trash{.folder = topdir + "/.Trash-" + std::to_string(places.uid), .shownPath = shown};
}

std::string percentEncoded(const std::string& path) {
  std::string encoded;
  for (const unsigned char c : path) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
        c == '-' || c == '_' || c == '.' || c == '~') {
      encoded += static_cast<char>(c);
    } else {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", c);
      encoded += escape;
    }
  }
  return encoded;
}

std::string recordOf(const Trash& trash) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  return "[Trash Info]\nPath=" + percentEncoded(trash.shownPath) + "\nDeletionDate=" + date + "\n";
}

// Creates the record under a name nobody holds yet; the name, or nothing.
std::optional<std::string> claimRecord(const Trash& trash, const std::string& base,
                                       const std::string& record, int attempt) {
  const std::string name = attempt == 0 ? base : base + "." + std::to_string(attempt + 1);
  const std::string info = trash.folder + "/info/" + name + ".trashinfo";
  const int fd = open(info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    return errno == EEXIST ? std::optional<std::string>("") : std::nullopt;
  }
  const bool written =
      write(fd, record.data(), record.size()) == static_cast<ssize_t>(record.size()) &&
      fsync(fd) == 0;
  if (close(fd) != 0 || !written) {
    unlink(info.c_str());
    return std::nullopt;
  }
  return name;
}

bool renameExclusive(const std::string& from, const std::string& to) {
  return renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
}

}  // namespace

std::expected<TrashedBundle, std::string> moveToTrash(const std::string& path,
                                                      const TrashPlaces& places) {
  const auto trash = trashFor(path, places);
  if (!trash || !makeFolder(trash->folder) || !makeFolder(trash->folder + "/files") ||
      !makeFolder(trash->folder + "/info") || deviceOf(trash->folder) != deviceOf(path)) {
    return std::unexpected(kNoTrash);
  }
  const std::string base = std::filesystem::path(path).filename().string();
  const std::string record = recordOf(*trash);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const auto name = claimRecord(*trash, base, record, attempt);
    if (!name) {
      return std::unexpected(kNoTrash);
    }
    if (name->empty()) {
      continue;
    }
    struct stat moved {};
    if (lstat(path.c_str(), &moved) != 0) {
      unlink((trash->folder + "/info/" + *name + ".trashinfo").c_str());
      return std::unexpected(kMoveFailed);
    }
    const TrashedBundle item{.originalPath = path,
                             .trashedPath = trash->folder + "/files/" + *name,
                             .infoPath = trash->folder + "/info/" + *name + ".trashinfo",
                             .device = static_cast<std::uint64_t>(moved.st_dev),
                             .inode = static_cast<std::uint64_t>(moved.st_ino)};
    flushFolder(trash->folder + "/info");
    if (renameExclusive(path, item.trashedPath)) {
      flushFolder(trash->folder + "/files");
      flushFolder(std::filesystem::path(path).parent_path().string());
      return item;
    }
    const int failure = errno;
    unlink(item.infoPath.c_str());
    if (failure != EEXIST) {
      return std::unexpected(failure == EXDEV ? kNoTrash : kMoveFailed);
    }
  }
  return std::unexpected(kMoveFailed);
}

std::expected<void, std::string> putBack(const TrashedBundle& item) {
  struct stat status {};
  if (lstat(item.originalPath.c_str(), &status) == 0) {
    return std::unexpected(kOccupied);
  }
  if (lstat(item.trashedPath.c_str(), &status) != 0) {
    return std::unexpected(errno == ENOENT ? kGone : kRestoreFailed);
  }
  // The trash emptied and something else moved there under the same name:
  // that is not ours to put back, nor its record ours to remove.
  if (static_cast<std::uint64_t>(status.st_dev) != item.device ||
      static_cast<std::uint64_t>(status.st_ino) != item.inode) {
    return std::unexpected(kGone);
  }
  if (!renameExclusive(item.trashedPath, item.originalPath)) {
    return std::unexpected(errno == EEXIST ? kOccupied : kRestoreFailed);
  }
  flushFolder(std::filesystem::path(item.originalPath).parent_path().string());
  unlink(item.infoPath.c_str());
  return {};
}

}  // namespace kelvoma::app::system
