// The tools as the desktop's applications: each installed tool's entry in the
// application menu, the move of a tool to the trash and back, and all
// updates at once.
#include <fcntl.h>

#include <algorithm>

#include "controller.h"
#include "kelvoma/bundle_program.h"

namespace kelvoma::app {
namespace {

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    text += (text.empty() ? "" : ", ") + name;
  }
  return text;
}

}  // namespace

// The entry starts exactly what the switch starts; none while the tool's
// copy is missing or names no program of its own. The desktop compares it
// with its files, so an entry removed by anyone is written again.
void Kelvoma::publishEntry(const Tool& target, const std::optional<Located>& located) {
  if (app::busy(records_.at(target.id))) {
    return;  // an installation may have the bundle aside for a moment
  }
  std::optional<ToolEntry> entry;
  const auto program = located ? textOf(located->info, "CFBundleExecutable") : std::nullopt;
  if (program && bundle_program::is_program_name(*program)) {
    const std::string place = bundle_program::place_for(AT_FDCWD, located->path, *program,
                                                        bundle_program::this_processor);
    entry = ToolEntry{.id = target.id,
                      .name = target.name,
                      .comment = target.description,
                      .command = {located->path + "/" + place},
                      .bundlePath = located->path,
                      .iconFile = textOf(located->info, "CFBundleIconFile").value_or(""),
                      .symbol = target.symbol};
    const auto arguments = launchConfiguration(target, Opening::background).arguments;
    entry->command.insert(entry->command.end(), arguments.begin(), arguments.end());
  }
  // A failure (a read-only or full disk) is tried again at the next refresh.
  (void)platform_.desktop.publishEntry(target.id, entry);
}

// The same button and item put back what this run moved to the trash.
void Kelvoma::trashTool(const Sender& sender) {
  const Tool* found = tool(identifier(sender));
  if (found == nullptr) {
    return;
  }
  observe(*found);
  if (inTrash(records_.at(found->id))) {
    return restoreTool(found->id);
  }
  apply(*found, event::TrashAsked{});
  refresh();
}

// Stopped first, as an update stops it, on a worker; moved on the main thread.
void Kelvoma::runTrash(const Tool& target) {
  platform_.scheduler.runOnWorker([this, id = target.id, path = records_.at(target.id).copy->path] {
    const std::int32_t stopped = stopRunningTool(id.c_str(), path.c_str());
    platform_.scheduler.runOnMain([this, id, path, stopped] {
      const Tool* trashed = tool(id);
      if (trashed == nullptr) {
        return;
      }
      // A tool that would not quit is not moved; the model says why.
      auto moved = stopped == 0 || stopped == 1
                       ? platform_.desktop.moveToTrash(path)
                       : std::expected<TrashedBundle, std::string>(std::unexpected("not moved"));
      apply(*trashed, event::TrashEnded{.moved = std::move(moved), .stopped = stopped});
      refresh();
    });
  });
}

void Kelvoma::restoreTool(const std::string& id) {
  const Tool* restored = tool(id);
  if (restored == nullptr) {
    return;
  }
  observe(*restored);
  apply(*restored, event::RestoreAsked{});
  refresh();
}

void Kelvoma::runRestore(const Tool& target, const TrashedBundle& bundle) {
  apply(target, event::RestoreEnded{.result = platform_.desktop.putBack(bundle)});
}

void Kelvoma::updateAll() {
  if (std::ranges::any_of(records_, [](const auto& each) { return inUpdateRun(each.second); })) {
    return;
  }
  for (const Tool& each : tools_) {
    observe(each);
    apply(each, event::UpdateAllAsked{});
  }
  startNextUpdate();
}

// One after another: the next starts when the one before has finished, and a
// tool that can no longer be updated is passed over. At the run's end one
// notice tells it, unless the window is in front.
void Kelvoma::startNextUpdate() {
  for (const Tool& each : tools_) {
    if (records_.at(each.id).work == Work::installing &&
        records_.at(each.id).cause == Cause::updateAll) {
      return;
    }
  }
  for (const Tool& each : tools_) {
    if (!records_.at(each.id).queued) {
      continue;
    }
    observe(each);
    apply(each, event::InstallAsked{.cause = Cause::updateAll});
    if (records_.at(each.id).work == Work::installing) {
      return refresh();
    }
  }
  std::vector<std::string> updated;
  std::vector<std::string> failed;
  for (const Tool& each : tools_) {
    if (const auto outcome = records_.at(each.id).runOutcome) {
      (*outcome ? updated : failed).push_back(each.name);
      apply(each, event::RunTold{});
    }
  }
  std::string body;
  if (!updated.empty()) {
    body = "Aktualizováno: " + joined(updated) + ".";
  }
  if (!failed.empty()) {
    body += (body.empty() ? "" : "\n") + ("Nepodařilo se: " + joined(failed) + ".");
  }
  if (!body.empty() && !platform_.screen.windowActive()) {
    platform_.desktopNotifications.notify(
        {.topic = "update-all", .summary = "Aktualizace dokončeny", .body = body, .actions = {}},
        [this](const std::string&) { show(); });
  }
  refresh();
}

}  // namespace kelvoma::app
