// What the desktop hears of the tools while the user looks elsewhere: notices
// of new releases and of installations that ended with the window out of
// sight, and the status item's tool tip and attention.
#include <string>

#include "announcements.h"
#include "controller.h"

namespace kelvoma::app {
namespace {

// The build last announced for a tool, forgotten once a version is installed.
std::string announcedKey(const Tool& tool) { return "announcedBuild." + tool.id; }

std::vector<WaitingUpdate> waitingUpdates(const std::vector<Tool>& tools,
                                          const std::vector<ToolSnapshot>& snapshots) {
  std::vector<WaitingUpdate> updates;
  for (std::size_t i = 0; i < tools.size() && i < snapshots.size(); ++i) {
    if (snapshots[i].installed() && snapshots[i].updateAvailable) {
      const auto& notes = snapshots[i].release->notes;
      updates.push_back(
          {tools[i].name, snapshots[i].release->version, notes ? notesFirstLine(*notes) : ""});
    }
  }
  return updates;
}

}  // namespace

// One notice naming every tool with an update, posted only when one of them
// has a build not announced before.
void Kelvoma::announceUpdates() {
  std::vector<ToolSnapshot> snapshots;
  bool fresh = false;
  for (const Tool& each : tools_) {
    snapshots.push_back(snapshotOf(each));
    const ToolSnapshot& snapshot = snapshots.back();
    if (!snapshot.installed() || !snapshot.updateAvailable) {
      continue;
    }
    const std::string build = std::to_string(snapshot.release->build);
    if (defaults_.stringForKey(announcedKey(each)) != build) {
      defaults_.setString(announcedKey(each), build);
      fresh = true;
    }
  }
  if (fresh) {
    platform_.desktopNotifications.notify(updatesNotice(waitingUpdates(tools_, snapshots)),
                                          [this](const std::string&) { show(); });
    awaitNotes(snapshots);
  }
}

// The releases just announced whose notes are still on their way: when they
// come, the notice is posted again in place, with their first line.
void Kelvoma::awaitNotes(const std::vector<ToolSnapshot>& snapshots) {
  noticeAwaitsNotes_.clear();
  for (std::size_t i = 0; i < tools_.size() && i < snapshots.size(); ++i) {
    if (snapshots[i].installed() && snapshots[i].updateAvailable && !snapshots[i].release->notes) {
      noticeAwaitsNotes_[tools_[i].id] = snapshots[i].release->build;
    }
  }
}

void Kelvoma::announceNotes(const std::string& id, std::uint64_t build) {
  const auto awaited = noticeAwaitsNotes_.find(id);
  if (awaited == noticeAwaitsNotes_.end() || awaited->second != build) {
    return;
  }
  noticeAwaitsNotes_.erase(awaited);
  std::vector<ToolSnapshot> snapshots;
  for (const Tool& each : tools_) {
    snapshots.push_back(snapshotOf(each));
  }
  platform_.desktopNotifications.notify(updatesNotice(waitingUpdates(tools_, snapshots)),
                                        [this](const std::string&) { show(); });
}

void Kelvoma::announceInstallation(const Tool& installed, const InstallAnswer& answer) {
  if (answer.ok) {
    defaults_.setString(announcedKey(installed), "");
  }
  if (platform_.screen.windowVisible()) {
    return;
  }
  // An update of "Aktualizovat vše" is told in the one notice at the run's end.
  if (updateRun_ && updateRun_->current == installed.id) {
    installFailedUnseen_ = installFailedUnseen_ || !answer.ok;
    return;
  }
  if (answer.ok) {
    const ToolSnapshot snapshot = snapshotOf(installed);
    platform_.desktopNotifications.notify(
        installedNotice(installed,
                        textOf(snapshot.info, "CFBundleShortVersionString").value_or("")),
        [this](const std::string&) { show(); });
  } else {
    installFailedUnseen_ = true;
    platform_.desktopNotifications.notify(installFailedNotice(installed, answer.error),
                                          [this](const std::string&) { show(); });
  }
}

void Kelvoma::refreshStatusItem(const std::vector<ToolSnapshot>& snapshots) {
  const auto updates = waitingUpdates(tools_, snapshots);
  std::vector<std::string> failed;
  for (std::size_t i = 0; i < tools_.size() && i < snapshots.size(); ++i) {
    if (snapshots[i].release && !snapshots[i].release->ok) {
      failed.push_back(tools_[i].name);
    }
  }
  platform_.screen.setStatusItemState(statusToolTip(updates, failed),
                                      !updates.empty() || installFailedUnseen_);
}

}  // namespace kelvoma::app
