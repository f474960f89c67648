// The running system's version: the kernel release's first three numbers.
#pragma once

#include <string_view>

#include "platform.h"

namespace kelvoma::app::system {

// "6.1.0-18-amd64" → 6.1.0; missing numbers are 0.
SystemVersion parseKernelRelease(std::string_view release);
SystemVersion runningSystemVersion();

}  // namespace kelvoma::app::system
