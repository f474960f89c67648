#include "release/release_output.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <utility>

#include "install/files/file_io.h"
#include "install/files/file_tree.h"
#include "release/previous_release.h"
#include "support/publish_support.h"
#include "support/refusal.h"
#include "verify/manifest.h"
#include "verify/release_notes.h"
#include "verify/util/unique_fd.h"

namespace kelvoma::publish {
namespace {

namespace fs = std::filesystem;

std::unexpected<std::string> system_failure(const std::string& path) {
  return std::unexpected(system_failure_text(path, errno));
}

bool exists_here(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

constexpr std::string_view work_prefix = ".kelvoma-release-";

// The work folder `name` in the output open as `output_fd`, open and locked;
// nothing when another process holds its lock (or it is no folder).
UniqueFd locked_folder(int output_fd, const std::string& name) {
  UniqueFd fd(::openat(output_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    return UniqueFd();
  }
  return fd;
}

// Removes the work folders in the output whose release is gone: no process
// holds their lock. Their paths.
std::vector<std::string> remove_abandoned(int output_fd, const std::string& output) {
  std::vector<std::string> removed;
  for (const std::string& name : folder_names(output_fd)) {
    if (!name.starts_with(work_prefix)) {
      continue;
    }
    if (const UniqueFd held = locked_folder(output_fd, name);
        held && remove_tree(output_fd, name)) {
      removed.push_back(output + "/" + name);
    }
  }
  return removed;
}

}  // namespace

std::expected<WorkFolder, std::string> WorkFolder::create(const std::string& output) {
  const bool made_output = ::mkdir(output.c_str(), 0755) == 0;
  if (!made_output && errno != EEXIST) {
    return system_failure(output);
  }
  const auto undo = [&](std::unexpected<std::string> failure) {
    if (made_output) {
      ::rmdir(output.c_str());
    }
    return failure;
  };
  const auto output_fd = open_folder(AT_FDCWD, output, output, FolderLink::followed);
  if (!output_fd) {
    return undo(std::unexpected(output_fd.error()));
  }
  // Held until this returns: one release at a time searches and adds here.
  // Where locks are not supported nothing is taken for abandoned.
  const bool output_locked = ::flock(output_fd->get(), LOCK_EX) == 0;
  std::vector<std::string> abandoned;
  if (output_locked) {
    abandoned = remove_abandoned(output_fd->get(), output);
  }
  std::string path = output + "/" + std::string(work_prefix) + "XXXXXX";
  if (::mkdtemp(path.data()) == nullptr) {
    return undo(system_failure(output));
  }
  UniqueFd lock = locked_folder(output_fd->get(), fs::path(path).filename().string());
  WorkFolder folder(output, std::move(path), made_output, std::move(lock));
  folder.abandoned_ = std::move(abandoned);
  return folder;
}

WorkFolder::WorkFolder(std::string output, std::string path, bool made_output, UniqueFd lock)
    : output_(std::move(output)),
      path_(std::move(path)),
      made_output_(made_output),
      lock_(std::move(lock)) {}

WorkFolder::WorkFolder(WorkFolder&& other) noexcept
    : output_(std::move(other.output_)),
      path_(std::exchange(other.path_, {})),
      made_output_(other.made_output_),
      lock_(std::move(other.lock_)),
      abandoned_(std::move(other.abandoned_)),
      published_(other.published_) {}

WorkFolder::~WorkFolder() {
  if (path_.empty()) {
    return;
  }
  // From the output held open; should that fail, by the folder's own path.
  const UniqueFd output(::open(output_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  (void)remove_tree(output ? output.get() : AT_FDCWD,
                    output ? fs::path(path_).filename().string() : path_);
  if (made_output_ && !published_) {
    ::rmdir(output_.c_str());  // nothing was written: the output goes as it came
  }
}

std::string WorkFolder::entry(std::string_view name) const {
  return path_ + "/" + std::string(name);
}

std::expected<void, std::string> WorkFolder::write(const std::string& name,
                                                   std::span<const std::uint8_t> bytes) const {
  const auto folder = open_folder(AT_FDCWD, path_, path_, FolderLink::refused);
  if (!folder) {
    return std::unexpected(folder.error());
  }
  return write_in_folder(folder->get(), path_, name,
                         {reinterpret_cast<const char*>(bytes.data()), bytes.size()}, 0644,
                         Existing::kept);
}

std::expected<UniqueFd, std::string> WorkFolder::create_file(const std::string& name) const {
  UniqueFd fd(
      ::open(entry(name).c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd) {
    return system_failure(entry(name));
  }
  return fd;
}

namespace {

// The files of the release in the output folder that the new one (`names`)
// does not overwrite: the archive its release.json names and its notes.
std::vector<std::string> earlier_leftovers(int output_fd, const std::vector<std::string>& names) {
  std::vector<std::string> leftovers{std::string(notes_file_name)};
  const UniqueFd manifest(
      ::openat(output_fd, "release.json", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  const auto bytes = manifest ? read_regular_file(manifest.get(), max_manifest_size) : std::nullopt;
  const auto release =
      bytes ? unverified_release(
                  {reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()})
            : std::nullopt;
  if (release) {
    leftovers.push_back(fs::path(release->archive_url).filename().string());
  }
  std::erase_if(leftovers, [&](const std::string& name) {
    struct stat info {};
    return name.empty() || name == "release.json" || name.starts_with(".") ||
           std::ranges::find(names, name) != names.end() ||
           ::fstatat(output_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
           !S_ISREG(info.st_mode);
  });
  return leftovers;
}

}  // namespace

std::expected<std::vector<std::string>, std::string> WorkFolder::publish(
    const std::vector<std::string>& first, Earlier earlier) {
  const auto work = open_folder(AT_FDCWD, path_, path_, FolderLink::refused);
  const auto target = open_folder(AT_FDCWD, output_, output_, FolderLink::followed);
  if (!work || !target) {
    return std::unexpected(work ? target.error() : work.error());
  }
  // A link already at a name is replaced, never written through.
  const unsigned flags = earlier == Earlier::replaced ? 0 : RENAME_NOREPLACE;
  std::vector<std::string> names = first;
  names.emplace_back("release.json");
  const auto leftovers = earlier == Earlier::replaced ? earlier_leftovers(target->get(), names)
                                                      : std::vector<std::string>();
  for (const std::string& name : names) {
    if (::renameat2(work->get(), name.c_str(), target->get(), name.c_str(), flags) != 0) {
      return system_failure(output_ + "/" + name);
    }
    published_ = true;
  }
  std::vector<std::string> removed;
  for (const std::string& name : leftovers) {
    if (::unlinkat(target->get(), name.c_str(), 0) == 0) {
      removed.push_back(name);
    }
  }
  (void)::fsync(target->get());
  return removed;
}

std::expected<void, std::string> check_output_folder(const std::string& output,
                                                     const std::string& archive_name,
                                                     WorkFolder::Earlier earlier) {
  struct stat status {};
  if (::stat(output.c_str(), &status) == 0 && !S_ISDIR(status.st_mode)) {
    return std::unexpected(refusal("--output", output, "složka (nebo cesta, která neexistuje)",
                                   "Zvol složku, do které se vydání zapíše."));
  }
  const std::string parent =
      fs::path(output).has_parent_path() ? fs::path(output).parent_path().string() : ".";
  if (::stat(parent.c_str(), &status) != 0) {
    return system_failure(parent);
  }
  for (const std::string& name :
       {std::string("release.json"), archive_name, std::string("release-notes.json")}) {
    if (earlier == WorkFolder::Earlier::refused && exists_here(output + "/" + name)) {
      return std::unexpected(refusal("--output", output, "složka bez dřívějšího vydání",
                                     "Už obsahuje " + name +
                                         "; zvol jinou složku, nebo dřívější vydání nahraď "
                                         "volbou --replace."));
    }
  }
  return {};
}

}  // namespace kelvoma::publish
