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
  // Empty in fakes that do not report progress: callers fall back to install.
  // Initialised here so that a Core listing only the four members above
  // still compiles without warnings.
  std::function<char*(const char* id, const char* targetPath, const char* osVersion,
                      StopCallback stop, ProgressCallback progress, void* context)>
      installWithProgress = {};
  // Empty in fakes without release notes: no release then has notes.
  std::function<char*(const char* id, std::uint64_t build, const char* version)> releaseNotes = {};
};

// The linked core's mini_* functions.
Core linkedCore();

}  // namespace kelvoma::app
