// Switching tools on and off, opening them and their settings, remembering the
// user's choice, and the stop callback of installations.
#include <algorithm>
#include <memory>

#include "controller.h"

namespace kelvoma::app {
namespace {

constexpr const char* kStillQuitting =
    "Nástroj právě dokončuje práci. Zkus vypnutí znovu za chvíli.";

}  // namespace

LaunchConfiguration launchConfiguration(const Tool& tool, Opening opening) {
  if (tool.external) {
    return {.arguments = {}, .activates = true};
  }
  if (opening == Opening::settings) {
    return {.arguments = {"--settings"}, .activates = true};
  }
  return {.arguments = {"--background"}, .activates = false};
}

// The decision follows whether the tool runs now, not the clicked checkbox.
void Kelvoma::toggleTool(const Sender& sender) {
  const Tool* found = tool(identifier(sender));
  if (found == nullptr || app::busy(records_.at(found->id))) {
    return;
  }
  const Tool& target = *found;
  const auto instances = runningInstancesOfTool(target, applicationURLForTool(target));
  if (!instances.empty()) {
    for (const RunningApplication& instance : instances) {
      platform_.workspace.terminateApplication(instance);
    }
    remember(target, Choice::off);
    platform_.scheduler.runOnMainAfter(timing_.quitFollowUp, [this, instances, id = target.id] {
      const Tool* still = tool(id);
      if (still == nullptr) {
        return;
      }
      for (const RunningApplication& instance : instances) {
        if (!platform_.workspace.isTerminated(instance)) {
          message(std::string(kStillQuitting), *still);
          return;
        }
      }
    });
  } else {
    openTool(target, Opening::background);
  }
  refresh();
}

void Kelvoma::settingsTool(const Sender& sender) {
  if (const Tool* found = tool(identifier(sender))) {
    openTool(*found, Opening::settings);
  }
}

void Kelvoma::openTool(const Tool& target, Opening opening) {
  const auto url = applicationURLForTool(target);
  if (!url) {
    return;
  }
  announceManagement(target);
  const Choice previous = choiceOf(defaults_.boolForKey("enabled." + target.id));
  remember(target, Choice::on);
  platform_.workspace.openApplication(
      *url, launchConfiguration(target, opening),
      [this, id = target.id, previous](LaunchResult result) {
        platform_.scheduler.runOnMain([this, id, previous, result = std::move(result)] {
          if (const Tool* launched = tool(id)) {
            if (result.error) {
              remember(*launched, previous);
              message(result.error, *launched);
            } else if (result.launched) {
              remember(*launched, Choice::on);
            }
          }
          refresh();
        });
      });
}

// The user defaults are the application's own domain here, so the mirror that
// the tools read and the defaults are one store, flushed by each write.
void Kelvoma::remember(const Tool& target, Choice choice) {
  defaults_.setBool("enabled." + target.id, choice == Choice::on);
}

std::int32_t Kelvoma::stopRunningTool(const char* id, const char* path) {
  const std::string url = path == nullptr ? std::string() : std::string(path);
  const std::string toolId = id == nullptr ? std::string() : std::string(id);
  std::vector<RunningApplication> instances;
  platform_.scheduler.runOnMainAndWait([&] {
    // The catalog is read afresh: the installation may outlive any state.
    for (const Tool& each : askCatalog(core_).tools) {
      if (each.id == toolId) {
        instances = runningInstancesOfTool(each, url);
        break;
      }
    }
    for (const RunningApplication& instance : instances) {
      platform_.workspace.terminateApplication(instance);
    }
  });
  if (instances.empty()) {
    return 0;
  }
  const double deadline = platform_.scheduler.uptime() + timing_.stopDeadline;
  while (true) {
    if (platform_.scheduler.uptime() >= deadline) {
      return -1;
    }
    bool allGone = true;
    platform_.scheduler.runOnMainAndWait([&] {
      allGone = std::ranges::all_of(instances, [this](const RunningApplication& each) {
        return platform_.workspace.isTerminated(each);
      });
    });
    if (allGone) {
      return 1;
    }
    platform_.scheduler.sleepFor(timing_.stopPoll);
  }
}

}  // namespace kelvoma::app
