// The update check of a manifest-based tool.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "verify/build_config.h"
#include "verify/catalog.h"
#include "verify/manifest.h"

namespace kelvoma {

// The release the publisher offers for this computer: refuses external
// tools, fetches the manifest (at most 65536 bytes), verifies it, then
// applies the processor rule and the minimum-system rule, in this order.
std::expected<Release, std::string> check_release(const CoreConfig& config, const Tool& tool,
                                                  std::string_view os_version);

}  // namespace kelvoma
