#include "bundle/bundle_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "bundle/utf8_names.h"
#include "support/publish_support.h"
#include "support/refusal.h"

namespace kelvoma::publish {
namespace {

std::unexpected<std::string> system_failure(const std::string& path, int error) {
  return std::unexpected(system_failure_text(path, error));
}

// Every folder stays open until the files in it are read: deep trees need
// more descriptors than the usual soft limit.
void raise_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

std::expected<std::vector<std::string>, int> sorted_names(int folder_fd) {
  const int copy = ::openat(folder_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = copy < 0 ? nullptr : ::fdopendir(copy);
  if (listing == nullptr) {
    const int error = errno;
    if (copy >= 0) {
      ::close(copy);
    }
    return std::unexpected(error);
  }
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") {
      names.emplace_back(name);
    }
  }
  const int error = errno;
  ::closedir(listing);
  if (error != 0) {
    return std::unexpected(error);
  }
  std::sort(names.begin(), names.end());
  return names;
}

class Walk {
 public:
  explicit Walk(std::string bundle) : bundle_(std::move(bundle)) {}

  std::expected<void, std::string> folder(std::size_t index, const std::string& prefix) {
    const auto names = sorted_names(tree_.folders[index].get());
    if (!names) {
      return system_failure(shown(prefix), names.error());
    }
    for (const std::string& leaf : *names) {
      if (auto added = entry(index, prefix + leaf, leaf); !added) {
        return added;
      }
    }
    return {};
  }

  BundleTree take() { return std::move(tree_); }
  BundleTree& tree() { return tree_; }

 private:
  std::string shown(const std::string& name) const {
    return name.empty() ? bundle_ : bundle_ + "/" + name;
  }

  std::expected<void, std::string> entry(std::size_t index, const std::string& name,
                                         const std::string& leaf) {
    const int parent = tree_.folders[index].get();
    if (auto utf8 = check_utf8_name(shown(name)); !utf8) {
      return utf8;  // the archive calls every name UTF-8
    }
    struct stat status {};
    if (::fstatat(parent, leaf.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      return system_failure(shown(name), errno);
    }
    BundleEntry entry{.name = name,
                      .type = EntryType::file,
                      .executable = (status.st_mode & S_IXUSR) != 0,
                      .size = 0,
                      .target = {},
                      .folder = index,
                      .leaf = leaf,
                      .device = status.st_dev,
                      .inode = status.st_ino};
    if (S_ISREG(status.st_mode)) {
      entry.size = static_cast<std::uint64_t>(status.st_size);
      tree_.file_bytes += entry.size;
      tree_.entries.push_back(std::move(entry));
      return {};
    }
    if (S_ISLNK(status.st_mode)) {
      std::string target(PATH_MAX, '\0');
      const ssize_t length = ::readlinkat(parent, leaf.c_str(), target.data(), target.size());
      if (length < 0) {
        return system_failure(shown(name), errno);
      }
      target.resize(static_cast<std::size_t>(length));
      if (auto utf8 = check_utf8_target(shown(name), target); !utf8) {
        return utf8;
      }
      entry.type = EntryType::link;
      entry.target = std::move(target);
      tree_.entries.push_back(std::move(entry));
      return {};
    }
    if (!S_ISDIR(status.st_mode)) {
      return std::unexpected(refusal(shown(name), "zvláštní soubor", "složka, soubor nebo odkaz",
                                     "Do balíčku patří jen ty; odstraň ho."));
    }
    UniqueFd fd(::openat(parent, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
      return system_failure(shown(name), errno);
    }
    entry.type = EntryType::folder;
    tree_.entries.push_back(std::move(entry));
    tree_.folders.push_back(std::move(fd));
    return folder(tree_.folders.size() - 1, name + "/");
  }

  std::string bundle_;
  BundleTree tree_;
};

}  // namespace

std::expected<UniqueFd, std::string> BundleTree::open_file(const BundleEntry& entry,
                                                           const std::string& shown_as) const {
  UniqueFd fd(::openat(folders[entry.folder].get(), entry.leaf.c_str(),
                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  if (!fd || ::fstat(fd.get(), &status) != 0) {
    return system_failure(shown_as, errno);
  }
  if (!S_ISREG(status.st_mode) || status.st_dev != entry.device || status.st_ino != entry.inode ||
      static_cast<std::uint64_t>(status.st_size) != entry.size) {
    return std::unexpected(refusal(shown_as, "změněný během čtení", "balíček, který se nemění",
                                   "Počkej, až sestavení balíčku doběhne, a spusť vydání znovu."));
  }
  return fd;
}

std::expected<BundleTree, std::string> walk_bundle(const std::string& bundle) {
  raise_descriptor_limit();
  UniqueFd root(::open(bundle.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root) {
    return system_failure(bundle, errno);
  }
  Walk walk(bundle);
  walk.tree().folders.push_back(std::move(root));
  walk.tree().entries.emplace_back();  // the bundle itself: a folder named ""
  if (auto walked = walk.folder(0, ""); !walked) {
    return std::unexpected(walked.error());
  }
  return walk.take();
}

}  // namespace kelvoma::publish
