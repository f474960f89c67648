#include "system_version.h"

#include <sys/utsname.h>

#include <cctype>

namespace kelvoma::app::system {

SystemVersion parseKernelRelease(std::string_view release) {
  long numbers[3] = {0, 0, 0};
  std::size_t at = 0;
  for (long& number : numbers) {
    if (at >= release.size() || !std::isdigit(static_cast<unsigned char>(release[at]))) {
      break;
    }
    while (at < release.size() && std::isdigit(static_cast<unsigned char>(release[at]))) {
      number = number * 10 + (release[at] - '0');
      if (number > 1'000'000'000) {
        return {};  // no kernel has such a version; report none
      }
      ++at;
    }
    if (at >= release.size() || release[at] != '.') {
      break;
    }
    ++at;
  }
  return {numbers[0], numbers[1], numbers[2]};
}

SystemVersion runningSystemVersion() {
  utsname name{};
  if (uname(&name) != 0) {
    return {};
  }
  return parseKernelRelease(name.release);
}

}  // namespace kelvoma::app::system
