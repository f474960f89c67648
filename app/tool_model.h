// One record per tool and the one transition function that changes it.
//
// Every fact the window, the status menu, the tray icon, the notices, the
// desktop entries and automatic installation show or act on is read from a
// ToolRecord through the queries below; nothing else decides what
// "installed", "updatable", "running" or "in the trash" mean. The controller
// feeds events to step() and carries out the effects it returns. Pure
// functions: no platform, no widgets, no clock of their own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core_answers.h"
#include "document.h"
#include "platform.h"
#include "tool_status.h"

namespace kelvoma::app {

// The installed copy as the last look at the disk and the processes found it.
struct InstalledCopy {
  std::string path;
  Document info = Document::object();
  std::size_t running = 0;  // processes of this copy
  bool operator==(const InstalledCopy&) const = default;
};

// What the tool's row is busy with; one thing at a time. A check may run
// beside it (ToolRecord::checking).
enum class Work { none, installing, trashing, restoring, recovering };

// Who asked for an installation.
enum class Cause { click, updateAll, automatic };

// Why a found update is not installed automatically yet.
enum class Wait { none, toolRunning, metered };

// A bundle this run moved to the trash, and how the tool was before.
struct Trashed {
  TrashedBundle bundle;
  bool wasOn = false;
  bool wasRunning = false;
  bool operator==(const Trashed&) const = default;
};

struct ToolRecord {
  std::optional<InstalledCopy> copy;
  // The newest release found, kept through failed checks until it is
  // installed or a check supersedes it; its notes once fetched.
  std::optional<CheckAnswer> offered;
  std::optional<CheckAnswer> lastCheck;  // the last check's own answer
  std::optional<LocalTime> checkedAt;
  bool checking = false;
  bool announce = false;  // the running check may announce what it finds
  Work work = Work::none;
  Cause cause = Cause::click;      // of the installation under way
  bool queued = false;             // waits its turn in "Aktualizovat vše"
  std::optional<bool> runOutcome;  // this run of "Aktualizovat vše": updated or failed
  bool automaticWanted = false;    // an automatic installation waits for its moment
  Wait wait = Wait::none;
  bool held = false;  // switched on, started only once its start-up check is through
  std::optional<Trashed> trashed;
  bool failureUnseen = false;  // an installation failed since the window was last shown
  bool offerUnseen = false;    // a new release found since the window was last shown
  bool inNotice = false;       // the offered release is named in the updates notice
  bool operator==(const ToolRecord&) const = default;
};

// ---- What a record means ------------------------------------------------

bool installed(const ToolRecord& record);
bool running(const ToolRecord& record);
// An installation, a move to or from the trash or recovery is under way.
bool busy(const ToolRecord& record);
std::int64_t installedBuild(const ToolRecord& record);
// An installed copy of a tool Kelvoma updates, with an offered build newer
// than the copy's (both taken as unsigned 64 bits).
bool updatable(const Tool& tool, const ToolRecord& record);
// Kelvoma moved the bundle to the trash and nothing is at its place since.
bool inTrash(const ToolRecord& record);
// The release the row speaks of: the offered one, else the last check's.
std::optional<CheckAnswer> shownRelease(const ToolRecord& record);
// Whether an installation may start: a click on a tool not installed, an
// external tool, or one with a release known.
bool installable(const Tool& tool, const ToolRecord& record);
// Part of a run of "Aktualizovat vše": queued or installing for it.
bool inUpdateRun(const ToolRecord& record);
// The tray asks for attention: an update or a failure the window has not shown.
bool needsAttention(const ToolRecord& record);

// ---- Events -------------------------------------------------------------

// Whatever the controller knows beside the record when an event comes.
struct Circumstances {
  bool recovering = false;  // start-up recovery still runs for some tool
  bool automaticInstall = false;
  bool metered = false;
  bool windowInFront = false;  // visible and active: outcomes are seen there
  bool switchedOn = false;     // the remembered switch of the tool
  LocalTime now{};
};

namespace event {
struct Observed {  // a look at the disk and the processes
  std::optional<InstalledCopy> copy;
};
struct CheckAsked {
  bool announce = false;  // not from the open window
};
struct CheckEnded {
  CheckAnswer answer;
};
struct NotesCame {
  std::uint64_t build = 0;
  std::string version;
  std::string text;
};
struct InstallAsked {
  Cause cause = Cause::click;
};
struct UpdateAllAsked {};  // queues the tool when "Aktualizovat vše" would update it
struct InstallEnded {
  InstallAnswer answer;
  // An installation nobody clicked for this tool met its copy gone, or, when
  // automatic, the tool running: it asked for no stop and changed nothing.
  bool stopDeclined = false;
};
struct TrashAsked {};
struct TrashEnded {
  std::expected<TrashedBundle, std::string> moved;
  std::int32_t stopped = 0;  // the stop's answer: 0 not running, 1 ended, other: still running
};
struct RestoreAsked {};
struct RestoreEnded {
  std::expected<void, std::string> result;
};
struct RecoveryAsked {};
struct RecoveryEnded {
  bool recovered = false;
};
struct Announced {};    // the notice of new releases names what is updatable now
struct RunTold {};      // the run of "Aktualizovat vše" was told: its outcome is done with
struct Held {};         // a switched-on tool kept from starting until its update
struct WindowShown {};  // the user sees the window now
struct AutomaticInstallChanged {
  bool on = false;
};
struct Tick {};  // the refresh timer: waiting updates are looked at again
}  // namespace event

using Event =
    std::variant<event::Observed, event::CheckAsked, event::CheckEnded, event::NotesCame,
                 event::InstallAsked, event::UpdateAllAsked, event::InstallEnded, event::TrashAsked,
                 event::TrashEnded, event::RestoreAsked, event::RestoreEnded, event::RecoveryAsked,
                 event::RecoveryEnded, event::Announced, event::RunTold, event::Held,
                 event::WindowShown, event::AutomaticInstallChanged, event::Tick>;

// ---- Effects ------------------------------------------------------------

namespace effect {
struct Say {  // the row's message; nothing clears it
  std::optional<std::string> text;
};
struct RunCheck {};
struct FetchNotes {
  CheckAnswer release;
};
struct RunInstall {};
struct RunTrash {};
struct RunRestore {
  TrashedBundle bundle;
};
struct Open {};  // start the tool in the background
struct Remember {
  bool on = false;
};
struct RememberWaiting {  // an update that waits for the tool to stop, kept across starts
  bool waiting = false;
};
struct Post {
  DesktopNotice notice;
};
struct Withdraw {
  std::string topic;
};
}  // namespace effect

using Effect = std::variant<effect::Say, effect::RunCheck, effect::FetchNotes, effect::RunInstall,
                            effect::RunTrash, effect::RunRestore, effect::Open, effect::Remember,
                            effect::RememberWaiting, effect::Post, effect::Withdraw>;

struct Step {
  ToolRecord record;
  std::vector<Effect> effects;
};

// The next record of the tool and what to do about it.
Step step(const Tool& tool, const ToolRecord& record, const Event& event,
          const Circumstances& circumstances);

// The snapshot that rows and menus are drawn from.
ToolSnapshot snapshotOf(const Tool& tool, const ToolRecord& record);

}  // namespace kelvoma::app
