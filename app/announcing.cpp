// What the desktop hears of the tools while the user looks elsewhere: the
// notice of new releases, and the status item's tool tip and attention. The
// notices of installations and of the trash come from the model itself.
#include <algorithm>
#include <string>

#include "announcements.h"
#include "controller.h"
#include "tool_place.h"

namespace kelvoma::app {
namespace {

WaitingUpdate waitingUpdate(const Tool& tool, const ToolRecord& record) {
  const auto& notes = record.offered->notes;
  return {tool.name, record.offered->version, notes ? notesFirstLine(*notes) : ""};
}

}  // namespace

// One notice naming every tool with an update, posted only when one of them
// has a build not announced before.
void Kelvoma::announceUpdates() {
  bool fresh = false;
  for (const Tool& each : tools_) {
    const ToolRecord& record = records_.at(each.id);
    if (!updatable(each, record)) {
      continue;
    }
    const std::string build = std::to_string(record.offered->build);
    if (defaults_.stringForKey(announcedBuildKey(each)) != build) {
      defaults_.setString(announcedBuildKey(each), build);
      fresh = true;
    }
  }
  if (!fresh) {
    return;
  }
  for (const Tool& each : tools_) {
    apply(each, event::Announced{});
  }
  postUpdatesNotice();
}

// The notice says what holds now: the tools it names whose release is still
// to be installed, or nothing at all.
void Kelvoma::postUpdatesNotice() {
  std::vector<WaitingUpdate> updates;
  for (const Tool& each : tools_) {
    const ToolRecord& record = records_.at(each.id);
    if (record.inNotice) {
      updates.push_back(waitingUpdate(each, record));
    }
  }
  if (updates.empty()) {
    return platform_.desktopNotifications.withdraw(updatesTopic());
  }
  platform_.desktopNotifications.notify(updatesNotice(updates),
                                        [this](const std::string&) { show(); });
}

void Kelvoma::forgetAnnounced(const Tool& installed) {
  defaults_.setString(announcedBuildKey(installed), "");
}

void Kelvoma::refreshStatusItem() {
  std::vector<WaitingUpdate> updates;
  std::vector<std::string> failed;
  bool attention = false;
  for (const Tool& each : tools_) {
    const ToolRecord& record = records_.at(each.id);
    if (updatable(each, record)) {
      updates.push_back(waitingUpdate(each, record));
    }
    if (record.lastCheck && !record.lastCheck->ok) {
      failed.push_back(each.name);
    }
    attention = attention || needsAttention(record);
  }
  platform_.screen.setStatusItemState(statusToolTip(updates, failed), attention);
}

}  // namespace kelvoma::app
