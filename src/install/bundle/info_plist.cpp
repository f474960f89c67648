#include "install/bundle/info_plist.h"

#include <fcntl.h>
#include <plist/plist.h>

#include <cerrno>
#include <cstdint>
#include <string_view>

#include "install/files/file_io.h"
#include "install/files/file_tree.h"
#include "verify/util/unique_fd.h"

namespace kelvoma {
namespace {

constexpr std::string_view invalid_info_plist = "Aplikace nemá platný Info.plist.";

// Real Info.plist files are a few kilobytes; the bound keeps a hostile file
// from being read whole into memory.
constexpr std::size_t max_info_plist_size = 16 * 1024 * 1024;

// Without blocking: a FIFO or device planted as Info.plist cannot stall
// the installation.
constexpr int info_plist_flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

// Info.plist below the bundle open as `bundle_fd`, no link followed: one
// openat2 call or, where the kernel lacks it (before 5.6, or a filter
// refuses it), one component at a time.
int open_info_plist_at(int bundle_fd) {
  const int fd = open_beneath(bundle_fd, "Contents/Info.plist", info_plist_flags);
  if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) {
    return fd;
  }
  const UniqueFd contents(
      ::openat(bundle_fd, "Contents", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  return contents ? ::openat(contents.get(), "Info.plist", info_plist_flags | O_NOFOLLOW) : -1;
}

}  // namespace

void InfoPlist::Free::operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }

std::expected<InfoPlist, std::string> InfoPlist::read(const std::string& bundle) {
  const UniqueFd fd(::open((bundle + "/Contents/Info.plist").c_str(), info_plist_flags));
  return parse(fd.get());
}

std::expected<InfoPlist, std::string> InfoPlist::read_at(int bundle_fd) {
  const UniqueFd fd(open_info_plist_at(bundle_fd));
  return parse(fd.get());
}

std::expected<InfoPlist, std::string> InfoPlist::parse(int fd) {
  const auto bytes = read_regular_file(fd, max_info_plist_size);
  if (!bytes || bytes->empty()) {
    return std::unexpected(std::string(invalid_info_plist));
  }
  plist_t root = nullptr;
  plist_from_memory(bytes->data(), static_cast<std::uint32_t>(bytes->size()), &root);
  InfoPlist owned(root);
  if (!owned.root_) {
    return std::unexpected(std::string(invalid_info_plist));
  }
  if (plist_get_node_type(owned.root_.get()) != PLIST_DICT) {
    return std::unexpected("Neplatné informace o aplikaci.");
  }
  return owned;
}

std::optional<std::string> InfoPlist::string(const char* key) const {
  const plist_t node = plist_dict_get_item(root_.get(), key);
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) {
    return std::nullopt;
  }
  std::uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  if (text == nullptr) {
    return std::nullopt;
  }
  return std::string(text, length);
}

std::optional<std::string> read_info_string(const std::string& bundle, const char* key) {
  const auto plist = InfoPlist::read(bundle);
  if (!plist) {
    return std::nullopt;
  }
  return plist->string(key);
}

}  // namespace kelvoma
