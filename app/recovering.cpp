// Start-up recovery: what an installation left when the application died
// during it is put back (or cleared away) by the core before the first
// check. Each tool stays busy meanwhile, so no installation of it can start
// and the application does not quit in the middle.
#include "controller.h"

namespace kelvoma::app {

void Kelvoma::recoverAtStart(bool checkAfterwards) {
  std::vector<std::string> ids;
  for (const Tool& each : tools_) {
    if (!app::busy(records_.at(each.id))) {
      apply(each, event::RecoveryAsked{});
      ids.push_back(each.id);
    }
  }
  if (ids.empty()) {
    if (checkAfterwards) {
      checkAll();
    }
    return;
  }
  // One after the other on one worker: the tools share their folders, and
  // each recovery locks the folder it looks at.
  platform_.scheduler.runOnWorker([this, ids = std::move(ids), checkAfterwards] {
    for (const std::string& id : ids) {
      const bool recovered = askRecover(core_, id);
      platform_.scheduler.runOnMain([this, id, recovered, checkAfterwards] {
        finishRecovery(id, recovered, checkAfterwards);
      });
    }
  });
}

void Kelvoma::finishRecovery(const std::string& id, bool recovered, bool checkAfterwards) {
  const Tool* done = tool(id);
  if (done == nullptr) {
    return;
  }
  apply(*done, event::RecoveryEnded{.recovered = recovered});
  // A copy that was missing at launch missed its start with the others.
  if (recovered) {
    launchIfRemembered(*done, platform_.workspace.runningApplications());
  }
  const bool last = std::ranges::none_of(
      records_, [](const auto& each) { return each.second.work == Work::recovering; });
  if (last && checkAfterwards) {
    checkAll();  // refreshes too
  } else if (recovered || last) {
    refresh();
  }
}

}  // namespace kelvoma::app
