// The one way a tool's record changes: an event is stepped through the model
// and the effects it returns are carried out here, in order.
#include <algorithm>

#include "announcements.h"
#include "controller.h"

namespace kelvoma::app {

void Kelvoma::apply(const Tool& target, const Event& event) {
  ToolRecord& record = records_[target.id];
  // Only what the notice of new releases follows, not a copy of the record:
  // the refresh steps every tool every second.
  const bool wasInNotice = record.inNotice;
  const bool hadNotes = record.offered && record.offered->notes;
  Step next = step(target, record, event, circumstancesOf(target));
  record = std::move(next.record);
  for (const Effect& each : next.effects) {
    carryOut(target, each);
  }
  afterStep(target, wasInNotice, hadNotes);
}

Circumstances Kelvoma::circumstancesOf(const Tool& target) {
  return Circumstances{
      .recovering = std::ranges::any_of(
          records_, [](const auto& each) { return each.second.work == Work::recovering; }),
      .automaticInstall = automaticInstall(),
      .metered = platform_.networkCost.metered(),
      .windowInFront = platform_.screen.windowActive(),
      .switchedOn = defaults_.boolForKey("enabled." + target.id),
      .now = platform_.scheduler.localTime(),
  };
}

void Kelvoma::carryOut(const Tool& target, const Effect& effect) {
  if (const auto* said = std::get_if<effect::Say>(&effect)) {
    message(said->text, target);
  } else if (std::holds_alternative<effect::RunCheck>(effect)) {
    runCheck(target);
  } else if (const auto* notes = std::get_if<effect::FetchNotes>(&effect)) {
    fetchNotes(target, notes->release);
  } else if (std::holds_alternative<effect::RunInstall>(effect)) {
    runInstallation(target);
  } else if (std::holds_alternative<effect::RunTrash>(effect)) {
    runTrash(target);
  } else if (const auto* restore = std::get_if<effect::RunRestore>(&effect)) {
    runRestore(target, restore->bundle);
  } else if (std::holds_alternative<effect::Open>(effect)) {
    openTool(target, Opening::background);
  } else if (const auto* choice = std::get_if<effect::Remember>(&effect)) {
    remember(target, choiceOf(choice->on));
  } else if (const auto* waiting = std::get_if<effect::RememberWaiting>(&effect)) {
    rememberWaiting(target, waiting->waiting);
  } else if (const auto* post = std::get_if<effect::Post>(&effect)) {
    platform_.desktopNotifications.notify(post->notice,
                                          [this, id = target.id](const std::string& action) {
                                            if (action == "restore") {
                                              return restoreTool(id);
                                            }
                                            show();
                                          });
  } else if (const auto* withdraw = std::get_if<effect::Withdraw>(&effect)) {
    platform_.desktopNotifications.withdraw(withdraw->topic);
  }
}

// What follows for the notices of new releases: one that no longer names
// only what holds is posted again in place, or taken back; one whose notes
// came since names their first line.
void Kelvoma::afterStep(const Tool& target, bool wasInNotice, bool hadNotes) {
  const ToolRecord& now = records_.at(target.id);
  const bool leftNotice = wasInNotice && !now.inNotice;
  const bool notesCame = now.inNotice && now.offered && now.offered->notes && !hadNotes;
  if (leftNotice || notesCame) {
    postUpdatesNotice();
  }
}

void Kelvoma::observe(const Tool& target) {
  apply(target,
        event::Observed{copyOf(target, platform_.workspace.runningApplications(), locate(target))});
}

std::optional<InstalledCopy> Kelvoma::copyOf(const Tool& target,
                                             const std::vector<RunningApplication>& running,
                                             std::optional<Located> located) {
  if (!located) {
    return std::nullopt;
  }
  const std::size_t count = instancesAmong(running, target, located->path).size();
  return InstalledCopy{
      .path = std::move(located->path), .info = std::move(located->info), .running = count};
}

}  // namespace kelvoma::app
