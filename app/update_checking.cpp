// Version checks: per manifest-based tool, on a worker, the answer back on
// the main thread into the tool's record.
#include <algorithm>

#include "announcements.h"
#include "controller.h"

namespace kelvoma::app {

void Kelvoma::checkAll(CheckOrigin origin) {
  for (const Tool& each : tools_) {
    apply(each, event::CheckAsked{.announce = origin == CheckOrigin::elsewhere});
  }
  refresh();
}

void Kelvoma::runCheck(const Tool& target) {
  const std::string version = operatingSystemVersionText();
  const std::int64_t installedBuild =
      installedBuildOf(infoDictionaryAtURL(applicationURLForTool(target)));
  const double shownUntil = platform_.scheduler.uptime() + timing_.checkShownAtLeast;
  platform_.scheduler.runOnWorker([this, id = target.id, version, installedBuild, shownUntil] {
    // The signed build goes over as the same 64 bits.
    CheckAnswer answer = askCheck(core_, id, version, static_cast<std::uint64_t>(installedBuild));
    platform_.scheduler.runOnMain([this, id, shownUntil, answer = std::move(answer)]() mutable {
      const double wait = shownUntil - platform_.scheduler.uptime();
      if (wait <= 0) {
        return finishCheck(id, std::move(answer));
      }
      platform_.scheduler.runOnMainAfter(wait, [this, id, answer = std::move(answer)]() mutable {
        finishCheck(id, std::move(answer));
      });
    });
  });
}

void Kelvoma::finishCheck(const std::string& id, CheckAnswer answer) {
  const Tool* checked = tool(id);
  if (checked == nullptr) {
    return;
  }
  const bool announcing = records_.at(id).announce;
  apply(*checked, event::CheckEnded{std::move(answer)});
  // One notice for a whole round of checks, once its last one is in.
  const bool roundOver = std::ranges::none_of(
      records_, [](const auto& each) { return each.second.checking && each.second.announce; });
  if (announcing && roundOver) {
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
