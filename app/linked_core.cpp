// Kept in its own file so that only executables that carry the core pull it in.
#include <string>

#include "core.h"
#include "system/tool_lock.h"

namespace kelvoma::app {
namespace {

// How long an installation waits for another one of the same tool.
constexpr double kBusyWait = 5.0;

// The answer of an installation that found the tool held by another one. A
// constant text, never handed to mini_free (see freeText).
constexpr char kBusyAnswer[] =
    R"({"error":"Nástroj se právě instaluje jinde. Zkus to za chvíli.","ok":false})";

char* busyAnswer() { return const_cast<char*>(kBusyAnswer); }

void freeText(char* text) {
  if (text != kBusyAnswer) {
    mini_free(text);
  }
}

}  // namespace

// One installation of a tool at a time between every process of this user
// (the window, kelvomactl): the core's installation runs under the tool's lock.
Core linkedCore() {
  return Core{.catalog = &mini_catalog,
              .check = &mini_check,
              .install =
                  [](const char* id, const char* target, const char* os, StopCallback stop) {
                    const auto lock = system::ToolLock::acquire(id == nullptr ? "" : id, kBusyWait);
                    return lock ? mini_install(id, target, os, stop) : busyAnswer();
                  },
              .free = &freeText,
              .recover = &mini_recover,
              .installWithProgress =
                  [](const char* id, const char* target, const char* os, StopCallback stop,
                     ProgressCallback progress, void* context) {
                    const auto lock = system::ToolLock::acquire(id == nullptr ? "" : id, kBusyWait);
                    return lock
                               ? mini_install_with_progress(id, target, os, stop, progress, context)
                               : busyAnswer();
                  },
              .releaseNotes = &mini_release_notes};
}

}  // namespace kelvoma::app
