// Random sequences of what the user, the tools, other programs and the
// network do, run against the controller on the fake platform. After every
// step the rules that tie the rows, the menu, the tray, the notices and the
// disk together must hold. RapidCheck shrinks a failing sequence to its
// shortest and prints the seed that replays it (RC_PARAMS="seed=N").
#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <rapidcheck/gtest.h>

#include <algorithm>
#include <array>
#include <sstream>

#include "harness.h"

namespace kelvoma::app::testing {
namespace {

enum class Move {
  checkFinds,
  checkFindsNothing,
  checkFails,
  checkFromWindow,
  workersRun,
  clickInstall,
  clickUpdateAll,
  clickTrash,
  restoreFromNotice,
  toggle,
  userStarts,
  userQuits,
  ignoresQuit,
  restoredElsewhere,
  removedElsewhere,
  automaticOn,
  automaticOff,
  metered,
  unmetered,
  installsFail,
  installsWork,
  tick,
  showWindow,
  closeWindow,
};

struct Step {
  Move move;
  int tool;             // 0 or 1: the two tools Kelvoma updates
  std::uint64_t build;  // of a release a check finds
};

constexpr const char* kMoveNames[] = {"checkFinds",        "checkFindsNothing",
                                      "checkFails",        "checkFromWindow",
                                      "workersRun",        "clickInstall",
                                      "clickUpdateAll",    "clickTrash",
                                      "restoreFromNotice", "toggle",
                                      "userStarts",        "userQuits",
                                      "ignoresQuit",       "restoredElsewhere",
                                      "removedElsewhere",  "automaticOn",
                                      "automaticOff",      "metered",
                                      "unmetered",         "installsFail",
                                      "installsWork",      "tick",
                                      "showWindow",        "closeWindow"};

// How RapidCheck prints a step of a failing sequence.
void showValue(const Step& step, std::ostream& out) {
  out << kMoveNames[static_cast<int>(step.move)] << "(" << (step.tool == 0 ? kOrbit : kPane)
      << ", build " << step.build << ")";
}

// The controller on the fake platform, with a core that installs for real
// on the fake disk and what the rules need to know of the user's requests.
class World : public ControllerHarness {
 public:
  World() {
    platform.launchStarts = true;
    platform.writable.insert("/Applications");  // where first installations go
    platform.settings[kDomain]["automaticChecks"] = false;
    core.installCallsStop = true;
    core.onInstall = [this](const InstallCall& call) { return installOnDisk(call); };
    install(kOrbit, "5", "v5");
    start({"kelvoma", "--background"});
  }
  void TestBody() override {}

  void play(const Step& step);
  void checkRules(const Step& step);

 private:
  static constexpr std::array kTools = {kOrbit, kPane};
  struct Asked {
    bool install = false;  // a click asked to install it
    bool touch = false;    // a click may stop or start it
  };

  std::string installInfo(const std::string& id) { return systemPath(id) + "/Contents/Info.plist"; }
  bool onDisk(const std::string& id) { return platform.plists.contains(installInfo(id)); }
  std::uint64_t diskBuild(const std::string& id) {
    return static_cast<std::uint64_t>(installedBuildOf(platform.plists.at(installInfo(id))));
  }
  std::string installOnDisk(const InstallCall& call);
  void clicked(const std::string& id, bool install) {
    asked_[id].touch = true;
    asked_[id].install = asked_[id].install || install;
  }
  std::string versionText(const std::string& id) { return control(row(id).version).text; }

  std::map<std::string, Asked> asked_;
  void runWorkers();

  std::map<std::string, std::uint64_t> offeredBuild_;  // what the publisher serves now
  std::map<std::string, std::uint64_t> found_;         // what the controller was told of it
  bool installsFail_ = false;
  std::size_t stopsSeen_ = 0;
  std::size_t launchesSeen_ = 0;
  std::vector<std::string> violations_;

  friend void checkWorld(World&, const Step&);
};

std::string World::installOnDisk(const InstallCall& call) {
  if (call.stopResult != 0 && call.stopResult != 1) {
    return R"({"error":"Nástroj se nepodařilo ukončit.","ok":false})";
  }
  if (!onDisk(call.id) && !asked_[call.id].install) {
    violations_.push_back("installed " + call.id + ", which nobody asked to install");
  }
  // As the core: nothing older than the copy in place, nothing unpublished.
  if (installsFail_ || !offeredBuild_.contains(call.id) ||
      (onDisk(call.id) && offeredBuild_.at(call.id) <= diskBuild(call.id))) {
    return R"({"error":"Instalace selhala.","ok":false})";
  }
  const std::string build = std::to_string(offeredBuild_.at(call.id));
  platform.addBundle(call.targetPath, catalogTool(call.id).bundleId, build, "v" + build);
  asked_[call.id].install = false;
  return call.stopResult == 1 ? R"({"ok":true,"relaunch":true})"
                              : R"({"ok":true,"relaunch":false})";
}

// The checks that run now get the answers the core holds now.
void World::runWorkers() {
  const auto answers = core.checkAnswers;
  const std::size_t before = core.checks.size();
  platform.runWorkers();
  for (std::size_t i = before; i < core.checks.size(); ++i) {
    const std::string& id = core.checks[i].id;
    const auto given = answers.find(id);
    if (given == answers.end()) {
      continue;  // the core's failure
    }
    const CheckAnswer answer = checkAnswerOf(Document::parse(given->second));
    if (answer.ok && answer.available && (!onDisk(id) || answer.build > diskBuild(id))) {
      found_[id] = answer.build;
    } else if (answer.ok) {
      found_.erase(id);
    }
  }
}

void World::play(const Step& step) {
  const std::string id = kTools[step.tool];
  const auto check = [&](const std::string& answer, bool fromWindow) {
    core.checkAnswers[id] = answer;
    controller->perform(Action::checkAll, fromWindow ? controlSender(id) : menuSender(id));
  };
  switch (step.move) {
    case Move::checkFinds:
      offeredBuild_[id] = step.build;
      return check(R"({"available":true,"build":)" + std::to_string(step.build) +
                       R"(,"ok":true,"version":"v)" + std::to_string(step.build) + "\"}",
                   false);
    case Move::checkFindsNothing:
      offeredBuild_.erase(id);
      return check(R"({"available":false,"ok":true})", false);
    case Move::checkFails:
      return check(R"({"error":"Síť není dostupná.","ok":false})", false);
    case Move::checkFromWindow:
      return controller->perform(Action::checkAll, controlSender(id));
    case Move::workersRun:
      return runWorkers();
    case Move::clickInstall:
      clicked(id, true);
      return controller->perform(Action::installTool, controlSender(id));
    case Move::clickUpdateAll:
      for (const char* each : kTools) {
        if (onDisk(each)) {
          clicked(each, false);
        }
      }
      return controller->perform(Action::updateAll, {});
    case Move::clickTrash:
      clicked(id, false);
      return controller->perform(Action::trashTool, controlSender(id));
    case Move::restoreFromNotice:
      clicked(id, false);
      return platform.invokeNotice("trash." + id, "restore");
    case Move::toggle:
      clicked(id, false);
      return controller->perform(Action::toggleTool, controlSender(id));
    case Move::userStarts:
      if (onDisk(id)) {
        run(id);
      }
      return;
    case Move::userQuits:
      std::erase_if(platform.running, [&](const auto& each) {
        return each.bundleIdentifier == catalogTool(id).bundleId;
      });
      return;
    case Move::ignoresQuit:
      platform.quitOnTerminate = !platform.quitOnTerminate;
      return;
    case Move::restoredElsewhere:
      for (const TrashedBundle& each : platform.trash) {
        if (each.originalPath == systemPath(id) && !onDisk(id)) {
          platform.plists[installInfo(id)] =
              platform.plists[each.trashedPath + "/Contents/Info.plist"];
          platform.plists.erase(each.trashedPath + "/Contents/Info.plist");
          std::erase(platform.trash, TrashedBundle(each));
          break;
        }
      }
      return;
    case Move::removedElsewhere:
      platform.plists.erase(installInfo(id));
      return;
    case Move::automaticOn:
    case Move::automaticOff:
      return controller->perform(Action::changeAutomaticInstall,
                                 controlSender("", step.move == Move::automaticOn));
    case Move::metered:
    case Move::unmetered:
      platform.meteredConnection = step.move == Move::metered;
      return;
    case Move::installsFail:
    case Move::installsWork:
      installsFail_ = step.move == Move::installsFail;
      return;
    case Move::tick:
      return platform.advance(1);
    case Move::showWindow:
      return controller->perform(Action::show, {});
    case Move::closeWindow:
      platform.windowOnScreen = false;
      return;
  }
}

void World::checkRules(const Step& step) {
  // Nothing the user did not ask for touches a tool.
  for (; stopsSeen_ < platform.terminateRequests.size(); ++stopsSeen_) {
    const auto& stopped = platform.terminateRequests[stopsSeen_];
    for (const char* each : kTools) {
      if (stopped.bundleIdentifier == catalogTool(each).bundleId && !asked_[each].touch) {
        violations_.push_back(std::string("stopped ") + each + " without a click");
      }
    }
  }
  for (; launchesSeen_ < platform.launches.size(); ++launchesSeen_) {
    for (const char* each : kTools) {
      if (platform.launches[launchesSeen_].bundlePath == systemPath(each) && !asked_[each].touch) {
        violations_.push_back(std::string("started ") + each + " without a click");
      }
    }
  }
  constexpr std::array clicks = {Move::clickInstall, Move::clickUpdateAll, Move::clickTrash,
                                 Move::restoreFromNotice, Move::toggle};
  const bool clickStep = std::ranges::find(clicks, step.move) != clicks.end();
  for (const char* each : kTools) {
    const ToolRecord& record = controller->records().at(each);
    if (!clickStep && record.work == Work::none && !record.queued) {
      asked_[each].touch = false;  // the click's work is over
    }
  }
  if (step.move != Move::tick) {
    return;  // what follows compares with the disk as the refresh last saw it
  }
  std::size_t updatable = 0;
  for (const char* each : kTools) {
    const std::string version = versionText(each);
    // A found update stays offered through failed checks until installed.
    if (onDisk(each) && found_.contains(each) && found_.at(each) <= diskBuild(each)) {
      found_.erase(each);
    }
    const bool offered = onDisk(each) && found_.contains(each);
    if (offered &&
        version.find("Nová verze v" + std::to_string(found_.at(each))) == std::string::npos) {
      violations_.push_back(std::string("the row of ") + each + " lost its update: " + version);
    }
    updatable += onDisk(each) && version.find("Nová verze") != std::string::npos ? 1 : 0;
    // The trash follows the disk.
    if (onDisk(each) && control(row(each).trash).text != "Přesunout do koše") {
      violations_.push_back(std::string(each) + " is in place but its row says it is in the trash");
    }
    if (onDisk(each) && platform.shown.contains(std::string("trash.") + each)) {
      violations_.push_back(std::string(each) + " is in place but its trash notice stays");
    }
  }
  // "Aktualizovat vše" only for two or more installed tools with an update.
  if (!control(controller->layout().updateAllButton).hidden && updatable < 2) {
    violations_.push_back("\"Aktualizovat vše\" shown for fewer than two updates");
  }
  // The notice of new releases names only releases still to be installed.
  if (const auto notice = platform.shown.find("updates"); notice != platform.shown.end()) {
    for (const char* each : kTools) {
      const std::string name = controller->tool(each)->name + " v";
      const auto at = notice->second.body.find(name);
      if (at != std::string::npos && (!onDisk(each) || std::stoull(notice->second.body.substr(
                                                           at + name.size())) <= diskBuild(each))) {
        violations_.push_back(std::string("the notice still offers ") + each + ": " +
                              notice->second.body);
      }
    }
  }
}

void checkWorld(World& world, const Step& step) {
  world.play(step);
  world.checkRules(step);
  if (!world.violations_.empty()) {
    RC_FAIL(world.violations_.front());
  }
  if (step.move == Move::showWindow) {
    world.controller->refresh();
    RC_ASSERT(!world.platform.statusNeedsAttention);  // the window has shown it
  }
}

rc::Gen<Step> steps() {
  return rc::gen::construct<Step>(
      rc::gen::element(Move::checkFinds, Move::checkFindsNothing, Move::checkFails,
                       Move::checkFromWindow, Move::workersRun, Move::workersRun, Move::workersRun,
                       Move::clickInstall, Move::clickUpdateAll, Move::clickTrash,
                       Move::restoreFromNotice, Move::toggle, Move::userStarts, Move::userQuits,
                       Move::ignoresQuit, Move::restoredElsewhere, Move::removedElsewhere,
                       Move::automaticOn, Move::automaticOff, Move::metered, Move::unmetered,
                       Move::installsFail, Move::installsWork, Move::tick, Move::tick,
                       Move::showWindow, Move::closeWindow),
      rc::gen::inRange(0, 2), rc::gen::inRange<std::uint64_t>(3, 9));
}

RC_GTEST_PROP(ToolModel, EveryRuleHoldsAfterEveryStep, ()) {
  const auto sequence = *rc::gen::container<std::vector<Step>>(steps());
  World world;
  for (const Step& each : sequence) {
    checkWorld(world, each);
  }
}

}  // namespace
}  // namespace kelvoma::app::testing
