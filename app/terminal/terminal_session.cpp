#include "terminal_session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <utility>

#include "outside_text.h"
#include "system/desktop_entry.h"
#include "system/process_table.h"
#include "system/property_list.h"
#include "system/system_version.h"
#include "system/tool_lock.h"
#include "system/trash.h"

namespace kelvoma::app::terminal {
namespace {

// How long an installation waits for another one of the same tool.
constexpr double kBusyWait = 5.0;
// How long a stopped tool is given to end.
constexpr double kStopDeadline = 12.0;

// The session whose installation runs on this thread: the core's stop
// callback carries no context of its own.
thread_local TerminalSession* installing = nullptr;

std::int32_t stopCallback(const char* id, const char* path) {
  if (installing == nullptr) {
    return -1;
  }
  return installing->stopFor(id == nullptr ? "" : id, path == nullptr ? "" : path);
}

struct ProgressContext {
  ProgressView* view;
  const std::function<double()>* uptime;
};

void progressCallback(void* context, std::int32_t phase, std::uint64_t done, std::uint64_t total) {
  auto& progress = *static_cast<ProgressContext*>(context);
  progress.view->report(phase, done, total, (*progress.uptime)());
}

std::string lastFoundKey(const Tool& tool) { return "lastFoundVersion." + tool.id; }
std::string lastFoundBuildKey(const Tool& tool) { return "lastFoundBuild." + tool.id; }
std::string lastCheckedKey(const Tool& tool) { return "lastCheckedAt." + tool.id; }

Document infoOf(const std::string& bundle) {
  auto info = system::readBundleInfo(bundle);
  return info && info->is_object() ? std::move(*info) : Document::object();
}

std::string resolved(const std::string& path) {
  char buffer[PATH_MAX];
  return ::realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : path;
}

std::string systemVersionText() {
  const SystemVersion version = system::runningSystemVersion();
  return std::to_string(version.major) + "." + std::to_string(version.minor) + "." +
         std::to_string(version.patch);
}

std::string titleOf(const Tool& tool) { return tool.name + " (" + tool.id + ")"; }

Document toolJson(const Tool& tool) { return Document{{"id", tool.id}, {"name", tool.name}}; }

Document releaseJson(const CheckAnswer& answer) {
  Document json{{"ok", answer.ok}};
  if (answer.ok) {
    json["available"] = answer.available;
    json["version"] = answer.version;
    json["build"] = answer.build;
  } else {
    json["error"] = answer.error.value_or("Kontrola se nepodařila.");
  }
  return json;
}

// The first failing outcome's code, updates found only where nothing failed.
int combined(int so_far, int next) {
  if (so_far != Exit::done && so_far != Exit::updatesFound) {
    return so_far;
  }
  return next == Exit::done ? so_far : next;
}

}  // namespace

int exitForFailure(const std::string& message) {
  // The core's texts for an unreachable host and for a target folder held
  // by another installation.
  if (message == "Stažení se nepodařilo. Zkontroluj připojení a zkus to znovu." ||
      message == "Chybí odpověď serveru.") {
    return Exit::noNetwork;
  }
  if (message == "Cílovou složku právě používá jiný proces. Zkus instalaci znovu za chvíli." ||
      message == "Nástroj se právě instaluje jinde. Zkus to za chvíli.") {
    return Exit::busy;
  }
  return Exit::failed;
}

TerminalSession::TerminalSession(Core core, Settings& settings, TerminalWorld world)
    : core_(std::move(core)),
      settings_(settings),
      defaults_(settings),
      world_(std::move(world)),
      tools_(askCatalog(core_).tools) {}

void TerminalSession::say(const std::string& line) { world_.out(line + "\n"); }

void TerminalSession::complain(const std::string& line) {
  world_.err("kelvomactl: " + line + "\n");
}

std::expected<std::vector<const Tool*>, std::string> TerminalSession::chosenTools(
    const std::vector<std::string>& ids, bool allWhenNone) const {
  std::vector<const Tool*> chosen;
  if (ids.empty() && allWhenNone) {
    for (const Tool& each : tools_) {
      chosen.push_back(&each);
    }
  }
  for (const std::string& id : ids) {
    const auto found = std::ranges::find(tools_, id, &Tool::id);
    if (found == tools_.end()) {
      std::string known;
      for (const Tool& each : tools_) {
        known += (known.empty() ? "" : ", ") + each.id;
      }
      return std::unexpected("Neznámý nástroj „" + id + "“. Známé nástroje: " + known + ".");
    }
    chosen.push_back(&*found);
  }
  return chosen;
}

TerminalSession::Local TerminalSession::look(const Tool& tool) {
  Local local;
  local.copy =
      locateCopy(tool, defaults_.stringForKey(applicationPathKey(tool)), world_.home, infoOf);
  if (local.copy) {
    local.running =
        instancesOf(system::runningApplications(), tool, local.copy->path, resolved,
                    [](const RunningApplication& each) { return system::isTerminated(each); });
    local.record.copy = InstalledCopy{
        .path = local.copy->path, .info = local.copy->info, .running = local.running.size()};
  }
  return local;
}

CheckAnswer TerminalSession::check(const Tool& tool, const Local& local) {
  CheckAnswer answer = askCheck(core_, tool.id, systemVersionText(),
                                static_cast<std::uint64_t>(installedBuild(local.record)));
  if (answer.ok) {
    defaults_.setString(lastCheckedKey(tool), world_.now());
    if (answer.available) {
      defaults_.setString(lastFoundKey(tool), answer.version);
      defaults_.setString(lastFoundBuildKey(tool), std::to_string(answer.build));
    }
  }
  return answer;
}

Report TerminalSession::run(const Options& options) {
  const Command command = *options.command;
  if (command == Command::reset) {
    return reset(options.dryRun);
  }
  const bool allWhenNone =
      command == Command::status || command == Command::check || command == Command::update;
  const auto chosen = chosenTools(options.tools, allWhenNone);
  if (!chosen) {
    complain(chosen.error());
    return {.exit = Exit::usage, .json = {{"error", chosen.error()}}};
  }
  Report report;
  report.json["tools"] = Document::array();
  for (const Tool* each : *chosen) {
    Outcome outcome;
    switch (command) {
      case Command::status:
        outcome = status(*each);
        break;
      case Command::check:
        if (options.tools.empty() && each->external) {
          continue;  // it checks for itself
        }
        outcome = checkOne(*each);
        break;
      case Command::update:
        if (options.tools.empty() && (each->external || !look(*each).copy)) {
          continue;  // every installed tool that Kelvoma updates
        }
        outcome = install(*each, true, options.stopRunning);
        break;
      case Command::install:
        outcome = install(*each, false, options.stopRunning);
        break;
      case Command::notes:
        outcome = notes(*each);
        break;
      case Command::remove:
        outcome = remove(*each);
        break;
      case Command::restore:
        outcome = restore(*each);
        break;
      case Command::reset:
        break;  // answered above
    }
    outcome.json["exitCode"] = outcome.exit;
    report.json["tools"].push_back(std::move(outcome.json));
    report.exit = combined(report.exit, outcome.exit);
  }
  return report;
}

TerminalSession::Outcome TerminalSession::status(const Tool& tool) {
  const Local local = look(tool);
  Outcome outcome{.json = toolJson(tool)};
  Document& json = outcome.json;
  say(titleOf(tool));
  json["installed"] = installed(local.record);
  if (local.copy) {
    const std::string version =
        textOf(local.copy->info, "CFBundleShortVersionString").value_or("?");
    json["path"] = local.copy->path;
    json["version"] = version;
    json["build"] = installedBuild(local.record);
    say("  nainstalováno " + version + " (sestavení " +
        std::to_string(installedBuild(local.record)) + ") v " + local.copy->path);
  } else {
    const bool trashed = trashedCopy(tool).has_value();
    json["inTrash"] = trashed;
    say(trashed ? "  v koši (kelvomactl restore " + tool.id + ")" : "  nenainstalováno");
  }
  const bool on = defaults_.boolForKey("enabled." + tool.id);
  json["switchedOn"] = on;
  json["running"] = running(local.record);
  say(std::string("  ") + (on ? "zapnuto" : "vypnuto") + " · " +
      (running(local.record) ? "běží" : "neběží"));
  const auto found = defaults_.stringForKey(lastFoundKey(tool));
  const auto checkedAt = defaults_.stringForKey(lastCheckedKey(tool));
  json["lastFound"] = nullptr;
  if (found && !found->empty()) {
    const std::string build = defaults_.stringForKey(lastFoundBuildKey(tool)).value_or("");
    json["lastFound"] = {{"version", *found}, {"build", build}};
    say("  naposledy nalezena verze " + *found + " (sestavení " + build + ")");
  }
  json["checkedAt"] = checkedAt ? Document(*checkedAt) : Document(nullptr);
  say("  poslední kontrola: " + checkedAt.value_or("nikdy"));
  return outcome;
}

TerminalSession::Outcome TerminalSession::checkOne(const Tool& tool) {
  const Local local = look(tool);
  if (tool.external) {
    say(titleOf(tool) + ": aktualizuje se sám");
    return {.json = toolJson(tool)};
  }
  const CheckAnswer answer = check(tool, local);
  Outcome outcome{.json = toolJson(tool)};
  outcome.json["installed"] = installed(local.record);
  outcome.json["release"] = releaseJson(answer);
  if (!answer.ok) {
    const std::string error = answer.error.value_or("Kontrola se nepodařila.");
    say(titleOf(tool) + ": kontrola selhala: " + error);
    outcome.exit = exitForFailure(error);
    return outcome;
  }
  ToolRecord record = local.record;
  if (answer.available) {
    record.offered = answer;
  }
  const bool update = updatable(tool, record);
  outcome.json["updatable"] = update;
  if (update) {
    say(titleOf(tool) + ": nová verze " + answer.version + " (sestavení " +
        std::to_string(answer.build) + ")");
    // Shown here: the window does not announce this build again.
    defaults_.setString(announcedBuildKey(tool), std::to_string(answer.build));
    outcome.exit = Exit::updatesFound;
  } else if (!installed(local.record)) {
    say(titleOf(tool) + ": nenainstalováno" +
        (answer.available ? ", k instalaci verze " + answer.version : std::string()));
  } else {
    say(titleOf(tool) + ": aktuální");
  }
  return outcome;
}

TerminalSession::Outcome TerminalSession::install(const Tool& tool, bool onlyUpdate,
                                                  bool stopRunning) {
  Outcome outcome{.json = toolJson(tool)};
  const auto refuse = [&](int exit, const std::string& status, const std::string& message) {
    outcome.exit = exit;
    outcome.json["outcome"] = status;
    outcome.json["message"] = message;
    complain(message);
    return outcome;
  };
  const Local local = look(tool);
  if (!local.copy && onlyUpdate) {
    return refuse(Exit::failed, "notInstalled",
                  tool.name + " není nainstalovaný; nainstaluj ho příkazem install.");
  }
  if (tool.external && local.copy) {
    return refuse(Exit::failed, "external", tool.name + " se aktualizuje sám.");
  }
  const CheckAnswer release = check(tool, local);
  if (!release.ok) {
    const std::string error = release.error.value_or("Kontrola se nepodařila.");
    return refuse(exitForFailure(error), "failed", tool.name + ": " + error);
  }
  if (local.copy && !release.available) {
    outcome.json["outcome"] = "upToDate";
    say(titleOf(tool) + ": aktuální, není co instalovat");
    return outcome;
  }
  if (!local.running.empty() && !stopRunning) {
    return refuse(Exit::leftRunning, "running",
                  tool.name + " běží, zůstal beze změny. Ukonči ho, nebo použij --stop-running.");
  }
  return installChecked(tool, local, release, stopRunning);
}

TerminalSession::Outcome TerminalSession::installChecked(const Tool& tool, const Local& local,
                                                         const CheckAnswer& release,
                                                         bool stopRunning) {
  Outcome outcome{.json = toolJson(tool)};
  const std::string target = installationTarget(
      tool, local.copy ? std::optional<std::string>(local.copy->path) : std::nullopt,
      ::access("/Applications", W_OK) == 0, world_.home);
  ProgressView view(world_.progress, tool.name, world_.err);
  ProgressContext context{.view = &view, .uptime = &world_.uptime};
  stopRunning_ = stopRunning;
  stopDeclined_ = false;
  installing = this;
  const InstallAnswer answer = askInstall(core_, tool.id, target, systemVersionText(),
                                          &stopCallback, &progressCallback, &context);
  installing = nullptr;
  view.finish();
  outcome.json["path"] = target;
  if (!answer.ok) {
    const std::string error = answer.error.value_or("Instalace se nepodařila.");
    outcome.exit = stopDeclined_ ? Exit::leftRunning : exitForFailure(error);
    outcome.json["outcome"] = stopDeclined_                ? "running"
                              : outcome.exit == Exit::busy ? "busy"
                                                           : "failed";
    outcome.json["message"] = error;
    complain(tool.name + ": " + error);
    return outcome;
  }
  if (!tool.external) {
    settings_.writeSetting(tool.bundleId, "managedByKelvoma", true);
  }
  defaults_.setString(announcedBuildKey(tool), "");  // the next release is news again
  outcome.json["outcome"] = "installed";
  outcome.json["version"] = release.version;
  outcome.json["build"] = release.build;
  outcome.json["stopped"] = answer.relaunch;
  say(titleOf(tool) + ": nainstalována verze " + release.version + " do " + target);
  if (answer.relaunch) {
    say("  nástroj byl kvůli instalaci ukončen; spusť ho znovu");
  }
  return outcome;
}

std::int32_t TerminalSession::stopFor(const std::string& id, const std::string& path) {
  const auto found = std::ranges::find(tools_, id, &Tool::id);
  if (found == tools_.end()) {
    return -1;
  }
  const auto instances =
      instancesOf(system::runningApplications(), *found, path, resolved,
                  [](const RunningApplication& each) { return system::isTerminated(each); });
  if (instances.empty()) {
    return 0;
  }
  // It started meanwhile: without --stop-running it is left alone.
  if (!stopRunning_) {
    stopDeclined_ = true;
    return -1;
  }
  for (const RunningApplication& each : instances) {
    system::terminate(each);
  }
  const double deadline = world_.uptime() + kStopDeadline;
  while (world_.uptime() < deadline) {
    if (std::ranges::all_of(
            instances, [](const RunningApplication& each) { return system::isTerminated(each); })) {
      return 1;
    }
    ::usleep(50'000);
  }
  return -1;
}

TerminalSession::Outcome TerminalSession::notes(const Tool& tool) {
  Outcome outcome{.json = toolJson(tool)};
  const Local local = look(tool);
  const CheckAnswer release = check(tool, local);
  if (!release.ok) {
    const std::string error = release.error.value_or("Kontrola se nepodařila.");
    outcome.exit = exitForFailure(error);
    outcome.json["message"] = error;
    complain(tool.name + ": " + error);
    return outcome;
  }
  if (!release.available) {
    outcome.exit = Exit::failed;
    outcome.json["message"] = tool.name + " nemá nabízenou novou verzi.";
    complain(outcome.json["message"].get<std::string>());
    return outcome;
  }
  const auto text = askReleaseNotes(core_, tool.id, release.build, release.version);
  outcome.json["version"] = release.version;
  outcome.json["build"] = release.build;
  if (!text) {
    outcome.exit = Exit::failed;
    outcome.json["message"] = "Poznámky k verzi " + release.version + " nejsou k dispozici.";
    complain(tool.name + ": " + outcome.json["message"].get<std::string>());
    return outcome;
  }
  const std::string shown = shownText(*text);
  outcome.json["notes"] = shown;
  say(titleOf(tool) + " " + release.version);
  say(shown);
  return outcome;
}

TerminalSession::Outcome TerminalSession::afterTrash(const Tool& tool, const ToolRecord& record,
                                                     const Event& event, int exit) {
  Outcome outcome{.exit = exit, .json = toolJson(tool)};
  const Step next =
      step(tool, record, event, {.switchedOn = defaults_.boolForKey("enabled." + tool.id)});
  for (const Effect& effect : next.effects) {
    if (const auto* said = std::get_if<effect::Say>(&effect); said && said->text) {
      outcome.json["message"] = *said->text;
      if (exit == Exit::done) {
        say(titleOf(tool) + ": " + *said->text);
      } else {
        complain(tool.name + ": " + *said->text);
      }
    } else if (const auto* remembered = std::get_if<effect::Remember>(&effect)) {
      defaults_.setBool("enabled." + tool.id, remembered->on);
    }
  }
  return outcome;
}

// To the trash as the window moves it: stopped first, renamed, never deleted.
TerminalSession::Outcome TerminalSession::remove(const Tool& tool) {
  const auto lock = system::ToolLock::acquire(tool.id, kBusyWait);
  if (!lock) {
    complain(tool.name + " se právě instaluje jinde. Zkus to za chvíli.");
    return {.exit = Exit::busy, .json = toolJson(tool)};
  }
  const Local local = look(tool);
  if (!local.copy) {
    complain(tool.name + " není nainstalovaný.");
    return {.exit = Exit::failed, .json = toolJson(tool)};
  }
  stopRunning_ = true;
  const std::int32_t stopped = stopFor(tool.id, local.copy->path);
  auto moved =
      stopped == 0 || stopped == 1
          ? system::moveToTrash(local.copy->path, {.dataHome = world_.dataHome, .uid = ::getuid()})
          : std::expected<TrashedBundle, std::string>(std::unexpected(""));
  const int exit = moved ? Exit::done : Exit::failed;
  Outcome outcome = afterTrash(
      tool, local.record, event::TrashEnded{.moved = std::move(moved), .stopped = stopped}, exit);
  outcome.json["path"] = local.copy->path;
  return outcome;
}

// The newest trash record of one of the tool's places whose item is still
// that tool's bundle.
std::optional<TrashedBundle> TerminalSession::trashedCopy(const Tool& tool) {
  std::vector<std::string> places;
  if (const auto remembered = defaults_.stringForKey(applicationPathKey(tool));
      remembered && !remembered->empty()) {
    places.push_back(*remembered);
  }
  places.push_back("/Applications/" + tool.bundleName);
  places.push_back(world_.home + "/Applications/" + tool.bundleName);
  for (const std::string& place : places) {
    for (const TrashedBundle& item :
         system::trashedFrom(place, {.dataHome = world_.dataHome, .uid = ::getuid()})) {
      if (textOf(infoOf(item.trashedPath), "CFBundleIdentifier") == tool.bundleId) {
        return item;
      }
    }
  }
  return std::nullopt;
}

TerminalSession::Outcome TerminalSession::restore(const Tool& tool) {
  const auto lock = system::ToolLock::acquire(tool.id, kBusyWait);
  if (!lock) {
    complain(tool.name + " se právě instaluje jinde. Zkus to za chvíli.");
    return {.exit = Exit::busy, .json = toolJson(tool)};
  }
  if (look(tool).copy) {
    complain(tool.name + " je nainstalovaný; není co vracet.");
    return {.exit = Exit::failed, .json = toolJson(tool)};
  }
  if (const auto item = trashedCopy(tool)) {
    ToolRecord record;
    record.trashed = Trashed{.bundle = *item};
    auto result = system::putBack(*item);
    const int exit = result ? Exit::done : Exit::failed;
    Outcome outcome =
        afterTrash(tool, record, event::RestoreEnded{.result = std::move(result)}, exit);
    outcome.json["path"] = item->originalPath;
    return outcome;
  }
  complain(tool.name + " v koši není.");
  return {.exit = Exit::failed, .json = toolJson(tool)};
}

// What Kelvoma wrote in this home, and nothing else: its settings file, its
// login entry, and the menu entries and icons that carry its key. The
// tools' bundles are never among them.
Report TerminalSession::reset(bool dryRun) {
  std::vector<std::string> files;
  struct stat status {};
  for (const std::string& own :
       {world_.configDirectory + "/" + std::string(kApplicationDomain) + ".ini",
        world_.configDirectory + "/autostart/" + std::string(kApplicationDomain) + ".desktop"}) {
    if (::lstat(own.c_str(), &status) == 0) {
      files.push_back(own);
    }
  }
  const system::DesktopEntries entries(world_.dataHome);
  for (const Tool& each : tools_) {
    for (std::string& file : entries.ownFiles(each.id)) {
      files.push_back(std::move(file));
    }
  }
  Report report;
  report.json["dryRun"] = dryRun;
  report.json["files"] = Document::array();
  for (const std::string& file : files) {
    if (dryRun) {
      say("odstranilo by se: " + file);
    } else if (::unlink(file.c_str()) == 0 || errno == ENOENT) {
      say("odstraněno: " + file);
    } else {
      complain("nepodařilo se odstranit " + file);
      report.exit = Exit::failed;
      continue;
    }
    report.json["files"].push_back(file);
  }
  if (files.empty()) {
    say("Kelvoma v tomto domově nic nezapsala.");
  }
  return report;
}

}  // namespace kelvoma::app::terminal
