// Automatic installation, opted in with "automaticInstall": an update that a
// check finds is installed through the same pipeline, progress and messages
// as a click, but never while the tool runs (it waits until the tool is next
// not running, however it stopped) and never on a metered connection (it
// waits for another). The refresh tick looks at the waiting updates again.
// An update still waiting for its tool to stop when Kelvoma ends is
// remembered: at the next start that tool, though switched on, is started
// only after the start-up check (and the update it finds) is through.
#include <vector>

#include "controller.h"

namespace kelvoma::app {
namespace {

constexpr std::string_view kAutomaticInstallKey = "automaticInstall";
constexpr const char* kWaitsForUnmetered = "Aktualizace počká na připojení bez omezení dat.";
constexpr const char* kWaitsForStop = "Aktualizace se nainstaluje, až nástroj přestane běžet.";

std::string pendingKey(const std::string& id) { return "automaticInstallPending." + id; }

}  // namespace

void Kelvoma::changeAutomaticInstall(const Sender& sender) {
  defaults_.setBool(kAutomaticInstallKey, sender.on);
  if (!sender.on) {
    waiting_.clear();
    return;
  }
  // Updates found before the switch was turned on count too.
  for (const Tool& each : tools_) {
    if (snapshotOf(each).updateAvailable) {
      waiting_.try_emplace(each.id);
    }
  }
  retryWaitingUpdates();
  refresh();
}

bool Kelvoma::automaticInstall() const { return defaults_.boolForKey(kAutomaticInstallKey); }

void Kelvoma::installAutomatically(const Tool& found) {
  if (!automaticInstall() || found.external) {
    return;
  }
  waiting_[found.id].clear();  // the check's message is said again below
  retryWaitingUpdates();
}

void Kelvoma::retryWaitingUpdates() {
  if (waiting_.empty()) {
    return;
  }
  const bool metered = platform_.networkCost.metered();
  std::vector<std::string> ids;
  for (const auto& [id, said] : waiting_) {
    ids.push_back(id);
  }
  for (const std::string& id : ids) {
    const Tool* target = tool(id);
    // One installation per tool: a click's installation finishes first.
    if (target == nullptr || busy_.contains(id)) {
      continue;
    }
    const ToolSnapshot snapshot = snapshotOf(*target);
    if (!snapshot.installed() || !snapshot.updateAvailable) {
      waiting_.erase(id);
      rememberWaiting(id, false);
      continue;
    }
    const char* wait = metered ? kWaitsForUnmetered : snapshot.running() ? kWaitsForStop : nullptr;
    if (wait != nullptr) {
      if (waiting_[id] != wait) {
        waiting_[id] = wait;
        rememberWaiting(id, wait == kWaitsForStop);
        message(std::string(wait), *target);
      }
      continue;
    }
    waiting_.erase(id);
    rememberWaiting(id, false);
    automatic_.insert(id);
    startInstallation(*target, snapshot);
  }
}

void Kelvoma::rememberWaiting(const std::string& id, bool waiting) {
  if (defaults_.boolForKey(pendingKey(id)) != waiting) {
    defaults_.setBool(pendingKey(id), waiting);
  }
}

// Only where the start-up check will run: it is what releases the tool.
bool Kelvoma::holdForUpdate(const Tool& each) {
  if (!automaticInstall() || !automaticChecks() || !defaults_.boolForKey(pendingKey(each.id))) {
    return false;
  }
  held_.insert(each.id);
  return true;
}

// After the tool's check: unless an installation is now under way (whose end
// starts the tool), the held tool starts as it would have at start.
void Kelvoma::releaseHeld(const std::string& id) {
  if (busy_.contains(id) || held_.erase(id) == 0) {
    return;
  }
  rememberWaiting(id, false);
  if (const Tool* target = tool(id); target != nullptr && defaults_.boolForKey("enabled." + id)) {
    openTool(*target, Opening::background);
  }
}

}  // namespace kelvoma::app
