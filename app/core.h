// The core as the application sees it: the functions of its C interface.
// The controller receives them as values, so tests can answer in their place;
// the members after `free` may be left empty, and the controller then does
// without them.
#pragma once

#include <cstdint>
#include <functional>

#include "kelvoma/kelvoma.h"

namespace kelvoma::app {

struct Core {
  std::function<char*()> catalog;
  std::function<char*(const char* id, const char* osVersion, std::uint64_t installedBuild)> check;
  std::function<char*(const char* id, const char* targetPath, const char* osVersion,
                      StopCallback stop)>
      install;
  std::function<void(char* text)> free;
  std::function<char*(const char* id)> recover = nullptr;
};

// The linked core's mini_* functions.
Core linkedCore();

}  // namespace kelvoma::app
