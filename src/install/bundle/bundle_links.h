// Links that leave a bundle. A bundle is installed and moved as one folder,
// so a link in it may point only inside it: a link to an absolute path or
// one that climbs out reaches whatever the user's computer has there.
#pragma once

#include <expected>
#include <optional>
#include <string>

namespace kelvoma {

struct OutsideLink {
  std::string path;       // the link, relative to the bundle
  std::string target;     // what it says
  bool absolute = false;  // the target starts with "/"; otherwise it climbs out
};

// Whether the link `path` below the bundle open as `bundle_fd`, whose text
// is `target`, leaves the bundle: its target is absolute, or following it
// from the bundle (openat2 with RESOLVE_BENEATH, so links it reaches are
// followed too) steps out. A link that leads nowhere (missing, a loop)
// stays inside as far as it goes. The refusal's facts, nothing when it stays
// inside, or the system error text when openat2 cannot be used.
std::expected<std::optional<OutsideLink>, std::string> link_leaving(int bundle_fd,
                                                                    const std::string& path,
                                                                    const std::string& target);

// The first link, in path order, of the bundle open as `bundle_fd` that
// leaves it (the seal's folder is not walked), or "PATH: system error text".
std::expected<std::optional<OutsideLink>, std::string> find_outside_link(int bundle_fd);

}  // namespace kelvoma
