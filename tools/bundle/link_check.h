// Links that leave a bundle, refused before it is built, sealed, checked or
// released: the installation would refuse the bundle, and a link out of it
// would reach whatever a user's computer has at that place.
#pragma once

#include <expected>
#include <string>

namespace kelvoma::publish {

// The first link of the bundle open as `bundle_fd` (named `shown_as`) whose
// target is absolute or leaves the bundle when followed inside it, chains of
// links included; refused naming the link, its target and what to do.
std::expected<void, std::string> check_links_stay_inside(int bundle_fd,
                                                         const std::string& shown_as);

// The same for the bundle at `bundle`, named `shown_as` (by default itself).
std::expected<void, std::string> check_links_stay_inside(const std::string& bundle,
                                                         const std::string& shown_as = {});

}  // namespace kelvoma::publish
