#include "install/bundle/bundle_links.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "install/bundle/seal_list.h"
#include "verify/util/system_error.h"

namespace kelvoma {

std::expected<std::optional<OutsideLink>, std::string> link_leaving(int bundle_fd,
                                                                    const std::string& path,
                                                                    const std::string& target) {
  if (target.starts_with('/')) {
    return OutsideLink{.path = path, .target = target, .absolute = true};
  }
  // Followed to its end: RESOLVE_BENEATH fails with EXDEV at the first step
  // out of the bundle, whichever link in a chain takes it.
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  long fd = -1;
  do {
    fd = ::syscall(SYS_openat2, bundle_fd, path.c_str(), &how, sizeof how);
  } while (fd < 0 && errno == EAGAIN);
  if (fd >= 0) {
    ::close(static_cast<int>(fd));
    return std::nullopt;
  }
  if (errno == EXDEV) {
    return OutsideLink{.path = path, .target = target, .absolute = false};
  }
  if (errno == ENOSYS || errno == EPERM) {
    return std::unexpected(system_error_text(errno));
  }
  return std::nullopt;
}

std::expected<std::optional<OutsideLink>, std::string> find_outside_link(int bundle_fd) {
  const auto entries = list_bundle_entries(bundle_fd);
  if (!entries) {
    return std::unexpected(entries.error());
  }
  for (const BundleEntry& entry : *entries) {
    if (entry.kind != BundleEntry::Kind::link) {
      continue;
    }
    auto leaving = link_leaving(bundle_fd, entry.path, entry.target);
    if (!leaving || *leaving) {
      return leaving;
    }
  }
  return std::nullopt;
}

}  // namespace kelvoma
