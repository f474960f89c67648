#include "release/release_output.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <utility>

#include "install/files/file_tree.h"
#include "support/publish_support.h"
#include "support/refusal.h"
#include "verify/util/system_error.h"
#include "verify/util/unique_fd.h"

namespace kelvoma::publish {
namespace {

namespace fs = std::filesystem;

std::unexpected<std::string> system_failure(const std::string& path) {
  return std::unexpected(path + ": " + system_error_text(errno));
}

bool exists_here(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

}  // namespace

std::expected<WorkFolder, std::string> WorkFolder::create(const std::string& output) {
  const bool made_output = ::mkdir(output.c_str(), 0755) == 0;
  if (!made_output && errno != EEXIST) {
    return system_failure(output);
  }
  std::string path = output + "/.kelvoma-release-XXXXXX";
  if (::mkdtemp(path.data()) == nullptr) {
    const auto failure = system_failure(output);
    if (made_output) {
      ::rmdir(output.c_str());
    }
    return failure;
  }
  return WorkFolder(output, std::move(path), made_output);
}

WorkFolder::WorkFolder(std::string output, std::string path, bool made_output)
    : output_(std::move(output)), path_(std::move(path)), made_output_(made_output) {}

WorkFolder::WorkFolder(WorkFolder&& other) noexcept
    : output_(std::move(other.output_)),
      path_(std::exchange(other.path_, {})),
      made_output_(other.made_output_),
      published_(other.published_) {}

WorkFolder::~WorkFolder() {
  if (path_.empty()) {
    return;
  }
  const UniqueFd output(::open(output_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  (void)remove_tree(output.get(), fs::path(path_).filename().string());
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

std::expected<void, std::string> WorkFolder::publish(const std::vector<std::string>& first,
                                                     Earlier earlier) {
  const auto work = open_folder(AT_FDCWD, path_, path_, FolderLink::refused);
  const auto target = open_folder(AT_FDCWD, output_, output_, FolderLink::followed);
  if (!work || !target) {
    return std::unexpected(work ? target.error() : work.error());
  }
  // A link already at a name is replaced, never written through.
  const unsigned flags = earlier == Earlier::replaced ? 0 : RENAME_NOREPLACE;
  std::vector<std::string> names = first;
  names.emplace_back("release.json");
  for (const std::string& name : names) {
    if (::renameat2(work->get(), name.c_str(), target->get(), name.c_str(), flags) != 0) {
      return system_failure(output_ + "/" + name);
    }
    published_ = true;
  }
  (void)::fsync(target->get());
  return {};
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
