// The tools as the desktop's applications: each installed tool's entry in the
// application menu, the move of a tool to the trash and back, and all
// updates at once.
#include <fcntl.h>

#include <algorithm>

#include "controller.h"
#include "kelvoma/bundle_program.h"

namespace kelvoma::app {
namespace {

constexpr const char* kTrashRefusedBusy =
    "Nástroj se právě instaluje nebo kontroluje. Přesuň ho do koše za chvíli.";
constexpr const char* kRestoreRefusedBusy = "Nástroj se právě instaluje. Z koše ho vrať za chvíli.";
constexpr const char* kTrashStillRunning =
    "Nástroj se nepodařilo ukončit, a tak zůstal na svém místě.";

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    text += (text.empty() ? "" : ", ") + name;
  }
  return text;
}

}  // namespace

// The entry starts exactly what the switch starts; none while the tool's
// copy is missing or names no program of its own.
void Kelvoma::publishEntry(const Tool& target, const std::optional<Located>& located) {
  if (busy_.contains(target.id)) {
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
  const auto published = entries_.find(target.id);
  if (published != entries_.end() && published->second == entry) {
    return;
  }
  // A failure (a read-only or full disk) is tried again at the next refresh.
  if (platform_.desktop.publishEntry(target.id, entry)) {
    entries_[target.id] = std::move(entry);
  }
}

// Stopped first, as an update stops it, on a worker; moved on the main thread.
void Kelvoma::trashTool(const Sender& sender) {
  const Tool* found = tool(identifier(sender));
  if (found == nullptr) {
    return;
  }
  // The same button and item put back what this run moved to the trash.
  if (const auto trashed = trashed_.find(found->id); trashed != trashed_.end() && !locate(*found)) {
    const TrashedBundle bundle = trashed->second;  // restoreTool forgets the entry
    return restoreTool(found->id, bundle);
  }
  if (busy_.contains(found->id) || checking_.contains(found->id) || recovering_ > 0) {
    message(std::string(kTrashRefusedBusy), *found);
    return;
  }
  const auto url = applicationURLForTool(*found);
  if (!url) {
    return;
  }
  busy_.insert(found->id);
  message(std::string("Ukončuji nástroj a přesouvám ho do koše…"), *found);
  refresh();
  platform_.scheduler.runOnWorker([this, id = found->id, path = *url] {
    const std::int32_t stopped = stopRunningTool(id.c_str(), path.c_str());
    platform_.scheduler.runOnMain([this, id, path, stopped] { finishTrash(id, path, stopped); });
  });
}

void Kelvoma::finishTrash(const std::string& id, const std::string& path, std::int32_t stopped) {
  busy_.erase(id);
  const Tool* trashed = tool(id);
  if (trashed == nullptr) {
    return refresh();
  }
  if (stopped < 0) {
    message(std::string(kTrashStillRunning), *trashed);
    return refresh();
  }
  const auto moved = platform_.desktop.moveToTrash(path);
  if (!moved) {
    message(moved.error(), *trashed);
    if (stopped > 0) {
      openTool(*trashed, Opening::background);  // it stays, so it runs again
    }
    return refresh();
  }
  // It does not come back at the next start, and the menu forgets it.
  remember(*trashed, Choice::off);
  if (platform_.desktop.publishEntry(id, std::nullopt)) {
    entries_[id] = std::nullopt;
  }
  trashed_.insert_or_assign(id, *moved);
  const std::string text = trashed->name + " je v koši.";
  message(text, *trashed);
  platform_.desktopNotifications.notify(
      {.topic = "trash." + id, .summary = text, .body = "", .actions = {{"restore", "Vrátit"}}},
      [this, id, bundle = *moved](const std::string& action) {
        if (action == "restore") {
          restoreTool(id, bundle);
        }
      });
  refresh();
}

void Kelvoma::restoreTool(const std::string& id, const TrashedBundle& bundle) {
  const Tool* restored = tool(id);
  const auto remembered = trashed_.find(id);
  // Put back already, from the row or the notice.
  if (restored == nullptr || remembered == trashed_.end() ||
      remembered->second.trashedPath != bundle.trashedPath) {
    return;
  }
  if (busy_.contains(id) || recovering_ > 0) {
    message(std::string(kRestoreRefusedBusy), *restored);
    return;
  }
  const auto back = platform_.desktop.putBack(bundle);
  // Tried once: back in place, or it stays where the desktop's trash shows it.
  trashed_.erase(id);
  message(back ? std::string("Vráceno z koše.") : back.error(), *restored);
  refresh();
}

void Kelvoma::updateAll() {
  if (updateRun_) {
    return;
  }
  UpdateRun run;
  for (const Tool& each : tools_) {
    const ToolSnapshot snapshot = snapshotOf(each);
    if (snapshot.updateAvailable && !each.external && !snapshot.busy) {
      run.waiting.push_back(each.id);
      message(std::string("Čeká na aktualizaci…"), each);
    }
  }
  if (run.waiting.empty()) {
    return;
  }
  updateRun_ = std::move(run);
  startNextUpdate();
}

// One after another: the next starts when the one before has finished, and a
// tool that can no longer be updated is passed over.
void Kelvoma::startNextUpdate() {
  UpdateRun& run = *updateRun_;
  run.current.reset();
  while (!run.waiting.empty()) {
    const std::string id = run.waiting.front();
    run.waiting.erase(run.waiting.begin());
    const Tool* next = tool(id);
    if (next == nullptr) {
      continue;
    }
    const ToolSnapshot snapshot = snapshotOf(*next);
    if (snapshot.updateAvailable && !snapshot.busy) {
      run.current = id;
      return startInstallation(*next, snapshot);
    }
    message(std::nullopt, *next);
  }
  std::string body;
  if (!run.updated.empty()) {
    body = "Aktualizováno: " + joined(run.updated) + ".";
  }
  if (!run.failed.empty()) {
    body += (body.empty() ? "" : "\n") + ("Nepodařilo se: " + joined(run.failed) + ".");
  }
  updateRun_.reset();
  if (!body.empty()) {
    platform_.desktopNotifications.notify(
        {.topic = "update-all", .summary = "Aktualizace dokončeny", .body = body, .actions = {}},
        [this](const std::string&) { show(); });
  }
  refresh();
}

void Kelvoma::continueUpdateAll(const std::string& id, const InstallAnswer& answer) {
  if (!updateRun_ || updateRun_->current != id) {
    return;
  }
  const Tool* finished = tool(id);
  const std::string name = finished == nullptr ? id : finished->name;
  (answer.ok ? updateRun_->updated : updateRun_->failed).push_back(name);
  startNextUpdate();
}

}  // namespace kelvoma::app
