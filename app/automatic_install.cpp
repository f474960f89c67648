// Automatic installation, opted in with "automaticInstall": an update that a
// check finds is installed through the same pipeline, progress and messages
// as a click, but never while the tool runs (it waits until the tool is next
// not running, however it stopped, and is then left stopped) and never on a
// metered connection (it waits for another). The model decides when
// (tool_model.cpp); the refresh tick looks at waiting updates again. An
// update still waiting for its tool to stop when Kelvoma ends is remembered:
// at the next start that tool, though switched on, is started only after the
// start-up check (and the update it finds) is through.
#include "controller.h"

namespace kelvoma::app {
namespace {

constexpr std::string_view kAutomaticInstallKey = "automaticInstall";

std::string pendingKey(const std::string& id) { return "automaticInstallPending." + id; }

}  // namespace

void Kelvoma::changeAutomaticInstall(const Sender& sender) {
  defaults_.setBool(kAutomaticInstallKey, sender.on);
  for (const Tool& each : tools_) {
    observe(each);
    apply(each, event::AutomaticInstallChanged{.on = sender.on});
  }
  refresh();
}

bool Kelvoma::automaticInstall() const { return defaults_.boolForKey(kAutomaticInstallKey); }

void Kelvoma::rememberWaiting(const Tool& target, bool waiting) {
  if (defaults_.boolForKey(pendingKey(target.id)) != waiting) {
    defaults_.setBool(pendingKey(target.id), waiting);
  }
}

// Only where the start-up check will run: it is what releases the tool.
bool Kelvoma::holdForUpdate(const Tool& each) {
  if (!automaticInstall() || !automaticChecks() || !defaults_.boolForKey(pendingKey(each.id))) {
    return false;
  }
  apply(each, event::Held{});
  return true;
}

}  // namespace kelvoma::app
