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

std::string parent_of(const std::string& output) {
  const fs::path path(output);
  return path.has_parent_path() ? path.parent_path().string() : std::string(".");
}

std::unexpected<std::string> system_failure(const std::string& path) {
  return std::unexpected(path + ": " + system_error_text(errno));
}

}  // namespace

std::expected<WorkFolder, std::string> WorkFolder::create(const std::string& output) {
  const std::string parent = parent_of(output);
  std::string path = parent + "/.kelvoma-release-XXXXXX";
  if (::mkdtemp(path.data()) == nullptr) {
    return system_failure(parent);
  }
  return WorkFolder(parent, std::move(path));
}

WorkFolder::WorkFolder(std::string parent, std::string path)
    : parent_(std::move(parent)), path_(std::move(path)) {}

WorkFolder::WorkFolder(WorkFolder&& other) noexcept
    : parent_(std::move(other.parent_)), path_(std::exchange(other.path_, {})) {}

WorkFolder::~WorkFolder() {
  if (!path_.empty()) {
    const UniqueFd parent(::open(parent_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    (void)remove_tree(parent.get(), fs::path(path_).filename().string());
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

std::expected<void, std::string> WorkFolder::publish_into(
    const std::string& output, const std::vector<std::string>& first) const {
  if (::mkdir(output.c_str(), 0755) != 0 && errno != EEXIST) {
    return system_failure(output);
  }
  const auto work = open_folder(AT_FDCWD, path_, path_, FolderLink::refused);
  const auto target = open_folder(AT_FDCWD, output, output, FolderLink::followed);
  if (!work || !target) {
    return std::unexpected(work ? target.error() : work.error());
  }
  // A link already at a name is replaced, never written through.
  std::vector<std::string> names = first;
  names.emplace_back("release.json");
  for (const std::string& name : names) {
    if (::renameat(work->get(), name.c_str(), target->get(), name.c_str()) != 0) {
      return system_failure(output + "/" + name);
    }
  }
  (void)::fsync(target->get());
  return {};
}

std::expected<void, std::string> check_output_folder(const std::string& output) {
  struct stat status {};
  if (::stat(output.c_str(), &status) == 0 && !S_ISDIR(status.st_mode)) {
    return std::unexpected(refusal("--output", output, "složka (nebo cesta, která neexistuje)",
                                   "Zvol složku, do které se vydání zapíše."));
  }
  const std::string parent = parent_of(output);
  if (::stat(parent.c_str(), &status) != 0) {
    return system_failure(parent);
  }
  return {};
}

}  // namespace kelvoma::publish
