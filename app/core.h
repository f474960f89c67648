// The core as the application sees it: the functions of its C interface.
// The controller receives them as values, so tests can answer in their place.
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
  // Empty in fakes that do not report progress: callers fall back to install.
  std::function<char*(const char* id, const char* targetPath, const char* osVersion,
                      StopCallback stop, ProgressCallback progress, void* context)>
      installWithProgress;
};

// The linked core's mini_* functions.
Core linkedCore();

}  // namespace kelvoma::app
