// Version checks: per manifest-based tool, on a worker, results back on the
// main thread into `releases`.
#include "announcements.h"
#include "controller.h"

namespace kelvoma::app {

void Kelvoma::checkAll(CheckOrigin origin) {
  const std::string version = operatingSystemVersionText();
  for (const Tool& each : tools_) {
    if (each.external || busy_.contains(each.id) || checking_.contains(each.id)) {
      continue;
    }
    checking_.insert(each.id);
    if (origin == CheckOrigin::elsewhere) {
      announcing_.insert(each.id);
    }
    message(std::string("Hledám nové vydání…"), each);
    const std::int64_t installedBuild =
        installedBuildOf(infoDictionaryAtURL(applicationURLForTool(each)));
    platform_.scheduler.runOnWorker([this, id = each.id, version, installedBuild] {
      // The signed build goes over as the same 64 bits.
      CheckAnswer answer = askCheck(core_, id, version, static_cast<std::uint64_t>(installedBuild));
      platform_.scheduler.runOnMain(
          [this, id, answer = std::move(answer)]() mutable { finishCheck(id, std::move(answer)); });
    });
  }
  refresh();
}

void Kelvoma::finishCheck(const std::string& id, CheckAnswer answer) {
  const std::string text = checkedLine(answer, platform_.scheduler.localTime());
  const bool found = answer.ok && answer.available;
  if (found) {
    fetchNotes(id, answer);
  }
  releases_[id] = std::move(answer);
  checking_.erase(id);
  if (const Tool* checked = tool(id)) {
    message(text, *checked);
    if (found) {
      installAutomatically(*checked);
    }
    releaseHeld(id);
  }
  // One notice for a whole round of checks, once its last one is in.
  if (announcing_.erase(id) > 0 && announcing_.empty()) {
    announceUpdates();
  }
  refresh();
}

void Kelvoma::scheduledCheck() {
  if (automaticChecks()) {
    checkAll();
  }
}

void Kelvoma::checkRequested() {
  show();
  checkAll(CheckOrigin::window);
}

void Kelvoma::changeAutomatic(const Sender& sender) {
  defaults_.setBool("automaticChecks", sender.on);
}

bool Kelvoma::automaticChecks() const {
  return !defaults_.hasObject("automaticChecks") || defaults_.boolForKey("automaticChecks");
}

}  // namespace kelvoma::app
