#include "tool_model.h"

#include <utility>

#include "announcements.h"

namespace kelvoma::app {
namespace {

constexpr const char* kChecking = "Hledám nové vydání…";
constexpr const char* kInstalling = "Stahuji a ověřuji balíček…";
constexpr const char* kInstalled = "Nainstalováno.";
constexpr const char* kQueued = "Čeká na aktualizaci…";
constexpr const char* kWaitsForUnmetered = "Aktualizace počká na připojení bez omezení dat.";
constexpr const char* kWaitsForStop = "Aktualizace se nainstaluje, až nástroj přestane běžet.";
constexpr const char* kTrashing = "Ukončuji nástroj a přesouvám ho do koše…";
constexpr const char* kTrashRefusedBusy =
    "Nástroj se právě instaluje nebo kontroluje. Přesuň ho do koše za chvíli.";
constexpr const char* kRestoreRefusedBusy = "Nástroj se právě instaluje. Z koše ho vrať za chvíli.";
constexpr const char* kTrashStillRunning =
    "Nástroj se nepodařilo ukončit, a tak zůstal na svém místě.";
constexpr const char* kRestored = "Vráceno z koše.";

bool sameRelease(const CheckAnswer& a, const CheckAnswer& b) {
  return a.ok && b.ok && a.build == b.build && a.version == b.version;
}

// One event's work on a copy of the record.
class Stepper {
 public:
  Stepper(const Tool& tool, const ToolRecord& record, const Circumstances& circumstances)
      : tool_(tool), circumstances_(circumstances), next_{.record = record, .effects = {}} {}

  Step finish() && {
    ToolRecord& r = next_.record;
    // What no longer holds is no longer offered, announced or awaited.
    if (r.offered && installed(r) &&
        r.offered->build <= static_cast<std::uint64_t>(installedBuild(r))) {
      r.offered.reset();
    }
    if (r.inNotice && !updatable(tool_, r)) {
      r.inNotice = false;
    }
    if (!updatable(tool_, r)) {
      r.offerUnseen = false;
    }
    return std::move(next_);
  }

  void operator()(const event::Observed& observed) {
    r().copy = observed.copy;
    if (installed(r()) && r().trashed) {
      // Back at its place, whoever put it there: nothing left to undo.
      r().trashed.reset();
      emit(effect::Withdraw{trashTopic(tool_)});
    }
  }

  void operator()(const event::CheckAsked& asked) {
    if (tool_.external || busy(r()) || r().checking) {
      return;
    }
    r().checking = true;
    r().announce = asked.announce;
    say(kChecking);
    emit(effect::RunCheck{});
  }

  void operator()(const event::CheckEnded& ended) {
    ToolRecord& record = r();
    record.checking = false;
    record.lastCheck = ended.answer;
    record.checkedAt = circumstances_.now;
    say(checkedLine(ended.answer, circumstances_.now));
    if (ended.answer.ok && ended.answer.available) {
      offer(ended.answer);
    } else if (ended.answer.ok) {
      record.offered.reset();  // nothing newer is offered any more
    }
    reconsiderAutomatic();
    if (record.held && !busy(record)) {
      startHeld();
    }
  }

  void operator()(const event::NotesCame& notes) {
    if (r().offered && r().offered->build == notes.build && r().offered->version == notes.version) {
      r().offered->notes = notes.text;
    }
  }

  void operator()(const event::InstallAsked& asked) {
    if (asked.cause == Cause::updateAll) {
      r().queued = false;
      if (!updatable(tool_, r()) || busy(r())) {
        return say(std::nullopt);
      }
    }
    if (busy(r())) {
      return;
    }
    r().work = Work::installing;
    r().cause = asked.cause;
    say(kInstalling);
    emit(effect::RunInstall{});
  }

  void operator()(const event::UpdateAllAsked&) {
    if (updatable(tool_, r()) && !busy(r()) && !r().queued) {
      r().queued = true;
      say(kQueued);
    }
  }

  void operator()(const event::InstallEnded& ended) {
    ToolRecord& record = r();
    const Cause cause = record.cause;
    record.work = Work::none;
    if (ended.stopDeclined && cause != Cause::automatic) {
      return say(std::nullopt);  // its copy went away: nothing to update
    }
    if (ended.stopDeclined) {
      // Never stopped for an automatic update: it waits for the tool again.
      record.automaticWanted = true;
      record.wait = Wait::none;
      return reconsiderAutomatic();
    }
    const InstallAnswer& answer = ended.answer;
    say(answer.ok ? std::optional<std::string>(kInstalled) : answer.error);
    record.failureUnseen = record.failureUnseen || (!answer.ok && !circumstances_.windowInFront);
    if (cause == Cause::updateAll) {
      record.runOutcome = answer.ok;  // told in the one notice at the run's end
    } else if (!circumstances_.windowInFront) {
      emit(effect::Post{answer.ok ? installedNotice(tool_, installedVersion())
                                  : installFailedNotice(tool_, answer.error)});
    } else if (answer.ok) {
      emit(effect::Withdraw{installationTopic(tool_)});  // an earlier failure no longer holds
    }
    const bool held = std::exchange(record.held, false);
    if (answer.relaunch || (tool_.external && answer.ok) ||
        (held && circumstances_.switchedOn && !running(record))) {
      emit(effect::Open{});
    }
    if (held) {
      emit(effect::RememberWaiting{false});
    }
  }

  void operator()(const event::TrashAsked&) {
    if (inTrash(r()) || !installed(r())) {
      return;
    }
    if (busy(r()) || r().checking || circumstances_.recovering) {
      return say(kTrashRefusedBusy);
    }
    r().work = Work::trashing;
    say(kTrashing);
    emit(effect::RunTrash{});
  }

  void operator()(const event::TrashEnded& ended) {
    ToolRecord& record = r();
    record.work = Work::none;
    if (ended.stopped < 0 || ended.stopped > 1) {
      return say(kTrashStillRunning);
    }
    if (!ended.moved) {
      say(ended.moved.error());
      if (ended.stopped == 1) {
        emit(effect::Open{});  // it stays, so it runs again
      }
      return;
    }
    record.trashed = Trashed{.bundle = *ended.moved,
                             .wasOn = circumstances_.switchedOn,
                             .wasRunning = ended.stopped == 1};
    record.copy.reset();
    record.automaticWanted = false;
    record.wait = Wait::none;
    // It does not come back at the next start, and the menu forgets it.
    emit(effect::Remember{false});
    const std::string text = tool_.name + " je v koši.";
    say(text);
    emit(effect::Post{{.topic = trashTopic(tool_),
                       .summary = text,
                       .body = "",
                       .actions = {{"restore", "Vrátit"}}}});
  }

  void operator()(const event::RestoreAsked&) {
    if (!inTrash(r())) {
      return;  // put back already, from the row or the notice, or by another program
    }
    if (busy(r()) || circumstances_.recovering) {
      return say(kRestoreRefusedBusy);
    }
    r().work = Work::restoring;
    emit(effect::RunRestore{r().trashed->bundle});
  }

  void operator()(const event::RestoreEnded& ended) {
    ToolRecord& record = r();
    record.work = Work::none;
    const auto trashed = std::exchange(record.trashed, std::nullopt);
    emit(effect::Withdraw{trashTopic(tool_)});
    if (!ended.result) {
      return say(ended.result.error());  // tried once: it stays where the trash shows it
    }
    say(kRestored);
    if (trashed && trashed->wasRunning) {
      emit(effect::Open{});
    } else if (trashed && trashed->wasOn) {
      emit(effect::Remember{true});
    }
  }

  void operator()(const event::RecoveryAsked&) {
    if (!busy(r())) {
      r().work = Work::recovering;
    }
  }

  void operator()(const event::RecoveryEnded&) {
    if (r().work == Work::recovering) {
      r().work = Work::none;
    }
  }

  void operator()(const event::Announced&) { r().inNotice = updatable(tool_, r()); }

  void operator()(const event::RunTold&) { r().runOutcome.reset(); }

  void operator()(const event::Held&) { r().held = true; }

  void operator()(const event::WindowShown&) {
    r().offerUnseen = false;
    r().failureUnseen = false;
  }

  void operator()(const event::AutomaticInstallChanged& changed) {
    if (!changed.on) {
      r().automaticWanted = false;
      r().wait = Wait::none;
      return;
    }
    // Updates found before the switch was turned on count too.
    r().automaticWanted = r().automaticWanted || updatable(tool_, r());
    reconsiderAutomatic();
  }

  void operator()(const event::Tick&) { reconsiderAutomatic(); }

 private:
  ToolRecord& r() { return next_.record; }
  void emit(Effect effect) { next_.effects.push_back(std::move(effect)); }
  void say(std::optional<std::string> text) { emit(effect::Say{std::move(text)}); }

  std::string installedVersion() {
    return r().copy ? textOf(r().copy->info, "CFBundleShortVersionString").value_or("") : "";
  }

  void offer(const CheckAnswer& found) {
    ToolRecord& record = r();
    if (record.offered && sameRelease(*record.offered, found)) {
      return;  // a later check of the same release keeps its notes
    }
    const bool newBuild = !record.offered || record.offered->build != found.build;
    record.offered = found;
    record.inNotice = false;
    emit(effect::FetchNotes{found});
    if (newBuild && !circumstances_.windowInFront) {
      record.offerUnseen = true;
    }
    if (circumstances_.automaticInstall && !tool_.external) {
      record.automaticWanted = true;
      record.wait = Wait::none;  // its wait is said again
    }
  }

  // An automatic installation starts once the tool does not run and the
  // connection is not metered; it never stops a tool.
  void reconsiderAutomatic() {
    ToolRecord& record = r();
    if (!record.automaticWanted) {
      return;
    }
    if (!circumstances_.automaticInstall || !updatable(tool_, record)) {
      record.automaticWanted = false;
      record.wait = Wait::none;
      return emit(effect::RememberWaiting{false});
    }
    if (busy(record)) {
      return;  // a click's installation finishes first
    }
    const Wait wait = circumstances_.metered ? Wait::metered
                      : running(record)      ? Wait::toolRunning
                                             : Wait::none;
    if (wait == Wait::none) {
      record.automaticWanted = false;
      record.wait = Wait::none;
      emit(effect::RememberWaiting{false});
      return (*this)(event::InstallAsked{Cause::automatic});
    }
    if (wait != record.wait) {
      record.wait = wait;
      emit(effect::RememberWaiting{wait == Wait::toolRunning});
      say(wait == Wait::metered ? kWaitsForUnmetered : kWaitsForStop);
    }
  }

  // The start-up check is through without an installation: the held tool
  // starts as it would have at start.
  void startHeld() {
    r().held = false;
    emit(effect::RememberWaiting{false});
    if (circumstances_.switchedOn) {
      emit(effect::Open{});
    }
  }

  const Tool& tool_;
  const Circumstances& circumstances_;
  Step next_;
};

}  // namespace

bool installed(const ToolRecord& record) { return record.copy.has_value(); }

bool running(const ToolRecord& record) { return record.copy && record.copy->running > 0; }

bool busy(const ToolRecord& record) { return record.work != Work::none; }

std::int64_t installedBuild(const ToolRecord& record) {
  return record.copy ? installedBuildOf(record.copy->info) : 0;
}

bool updatable(const Tool& tool, const ToolRecord& record) {
  return offersUpdate(tool, installed(record), record.offered, installedBuild(record));
}

bool inTrash(const ToolRecord& record) { return record.trashed && !installed(record); }

std::optional<CheckAnswer> shownRelease(const ToolRecord& record) {
  return record.offered ? record.offered : record.lastCheck;
}

bool installable(const Tool& tool, const ToolRecord& record) {
  const auto release = shownRelease(record);
  return tool.external || !installed(record) || (release && release->ok);
}

bool inUpdateRun(const ToolRecord& record) {
  return record.queued || (record.work == Work::installing && record.cause == Cause::updateAll);
}

bool needsAttention(const ToolRecord& record) { return record.offerUnseen || record.failureUnseen; }

Step step(const Tool& tool, const ToolRecord& record, const Event& event,
          const Circumstances& circumstances) {
  Stepper stepper(tool, record, circumstances);
  std::visit(stepper, event);
  return std::move(stepper).finish();
}

ToolSnapshot snapshotOf(const Tool& tool, const ToolRecord& record) {
  SnapshotFacts facts{
      .busy = busy(record), .release = shownRelease(record), .inTrash = inTrash(record)};
  if (record.copy) {
    facts.installedPath = record.copy->path;
    facts.runningCount = record.copy->running;
    facts.info = record.copy->info;
  }
  return makeSnapshot(tool, std::move(facts));
}

}  // namespace kelvoma::app
