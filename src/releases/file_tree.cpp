#include "releases/file_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string_view>

#include "releases/unique_fd.h"

namespace kelvoma {
namespace {

struct ClosesListing {
  void operator()(DIR* listing) const { ::closedir(listing); }
};

void remove_entry(int parent_fd, const std::string& name, dev_t device);

// The folder's names are listed first and the listing closed, so that one
// descriptor per level is held while the tree is walked.
void remove_contents(int directory_fd, dev_t device) {
  for (const std::string& name : folder_names(directory_fd)) {
    remove_entry(directory_fd, name, device);
  }
}

UniqueFd open_folder(int parent_fd, const std::string& name) {
  return UniqueFd(
      ::openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

void remove_entry(int parent_fd, const std::string& name, dev_t device) {
  if (::unlinkat(parent_fd, name.c_str(), 0) == 0 || errno != EISDIR) {
    return;
  }
  UniqueFd directory = open_folder(parent_fd, name);
  if (!directory && errno == EACCES) {
    // A folder unpacked without read permission for its owner.
    if (::fchmodat(parent_fd, name.c_str(), S_IRWXU, 0) == 0) {
      directory = open_folder(parent_fd, name);
    }
  }
  struct stat info {};
  if (!directory || ::fstat(directory.get(), &info) != 0 || info.st_dev != device) {
    return;
  }
  // Its entries can only go once it is writable.
  if ((info.st_mode & S_IRWXU) != S_IRWXU && ::fchmod(directory.get(), S_IRWXU) != 0) {
    return;
  }
  remove_contents(directory.get(), device);
  (void)::unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR);
}

}  // namespace

std::vector<std::string> folder_names(int directory_fd) {
  std::vector<std::string> names;
  UniqueFd listing_fd(::openat(directory_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!listing_fd) {
    return names;
  }
  const std::unique_ptr<DIR, ClosesListing> listing(::fdopendir(listing_fd.get()));
  if (!listing) {
    return names;
  }
  (void)listing_fd.release();  // the listing owns it now
  while (const dirent* entry = ::readdir(listing.get())) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") {
      names.emplace_back(name);
    }
  }
  return names;
}

bool remove_tree(int parent_fd, const std::string& name) {
  struct stat info {};
  if (::fstatat(parent_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT;
  }
  remove_entry(parent_fd, name, info.st_dev);
  return ::fstatat(parent_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
}

}  // namespace kelvoma
