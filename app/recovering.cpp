// Start-up recovery: what an installation left when the application died
// during it is put back (or cleared away) by the core before the first
// check. Each tool stays busy meanwhile, so no installation of it can start
// and the application does not quit in the middle.
#include "controller.h"

namespace kelvoma::app {

void Kelvoma::recoverAtStart(bool checkAfterwards) {
  std::vector<std::string> ids;
  for (const Tool& each : tools_) {
    if (busy_.insert(each.id).second) {
      ids.push_back(each.id);
    }
  }
  recovering_ = ids.size();
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
  busy_.erase(id);
  // A copy that was missing at launch missed its start with the others.
  if (const Tool* putBack = recovered ? tool(id) : nullptr) {
    launchIfRemembered(*putBack, platform_.workspace.runningApplications());
  }
  if (--recovering_ == 0 && checkAfterwards) {
    checkAll();  // refreshes too
  } else if (recovered || recovering_ == 0) {
    refresh();
  }
}

}  // namespace kelvoma::app
