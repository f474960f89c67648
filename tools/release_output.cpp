#include "release_output.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <utility>

#include "refusal.h"
#include "releases/file_tree.h"
#include "releases/system_error.h"
#include "releases/unique_fd.h"

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
  const std::string path = entry(name);
  const UniqueFd fd(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd) {
    return system_failure(path);
  }
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd.get(), bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written < 0) {
      return system_failure(path);
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  if (::fsync(fd.get()) != 0) {
    return system_failure(path);
  }
  return {};
}

std::expected<void, std::string> WorkFolder::publish_into(const std::string& output,
                                                          const std::string& archive_name) const {
  if (::mkdir(output.c_str(), 0755) != 0 && errno != EEXIST) {
    return system_failure(output);
  }
  for (const std::string& name : {archive_name, std::string("release.json")}) {
    const std::string target = output + "/" + name;
    if (std::rename(entry(name).c_str(), target.c_str()) != 0) {
      return system_failure(target);
    }
  }
  const UniqueFd folder(::open(output.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder) {
    (void)::fsync(folder.get());
  }
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
