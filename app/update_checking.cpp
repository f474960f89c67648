// Version checks: per manifest-based tool, on a worker, results back on the
// main thread into `releases`.
#include "controller.h"

namespace kelvoma::app {

void Kelvoma::checkAll() {
  const std::string version = operatingSystemVersionText();
  for (const Tool& each : tools_) {
    if (each.external || busy_.contains(each.id) || checking_.contains(each.id)) {
      continue;
    }
    checking_.insert(each.id);
    message(std::string("Hledám nové vydání…"), each);
    const std::int64_t installedBuild =
        installedBuildOf(infoDictionaryAtURL(applicationURLForTool(each)));
    platform_.scheduler.runOnWorker([this, id = each.id, version, installedBuild] {
      // The signed build goes over as the same 64 bits.
      CheckAnswer answer = askCheck(core_, id, version, static_cast<std::uint64_t>(installedBuild));
      platform_.scheduler.runOnMain(
          [this, id, answer = std::move(answer)]() mutable { finishCheck(id, std::move(answer)); });
    });
  }
  refresh();
}

void Kelvoma::finishCheck(const std::string& id, CheckAnswer answer) {
  std::optional<std::string> text;
  if (answer.ok) {
    text = answer.available ? "Nová verze je připravená ke stažení."
                            : "Máš nejnovější dostupnou verzi.";
  } else {
    text = answer.error;
  }
  if (answer.ok && answer.available) {
    fetchNotes(id, answer);
  }
  const bool found = answer.ok && answer.available;
  releases_[id] = std::move(answer);
  checking_.erase(id);
  if (const Tool* checked = tool(id)) {
    message(text, *checked);
    if (found) {
      installAutomatically(*checked);
    }
    releaseHeld(id);
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
  checkAll();
}

void Kelvoma::changeAutomatic(const Sender& sender) {
  defaults_.setBool("automaticChecks", sender.on);
}

bool Kelvoma::automaticChecks() const {
  return !defaults_.hasObject("automaticChecks") || defaults_.boolForKey("automaticChecks");
}

}  // namespace kelvoma::app
