// kelvomactl's commands over the core and the shared rules of app/: the
// tools' copies found as the window finds them, the same settings file, the
// same installation pipeline, the same notes filter. Each command gives one
// report: its exit code, and the same facts as text and as one JSON object.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core.h"
#include "core_answers.h"
#include "ctl_options.h"
#include "document.h"
#include "platform.h"
#include "progress_view.h"
#include "tool_model.h"
#include "tool_place.h"
#include "user_defaults.h"

namespace kelvoma::app::terminal {

struct TerminalWorld {
  std::string home;
  std::string dataHome;         // $XDG_DATA_HOME: the home trash, the menu entries
  std::string configDirectory;  // $XDG_CONFIG_HOME: the settings, the login entry
  // Standard output's text (text mode only) and standard error's pieces.
  std::function<void(const std::string&)> out;
  std::function<void(const std::string&)> err;
  ProgressMode progress = ProgressMode::none;
  std::function<double()> uptime;    // monotonic seconds
  std::function<std::string()> now;  // the local time as "YYYY-MM-DD HH:MM"
};

struct Report {
  int exit = Exit::done;
  Document json = Document::object();  // without "schema" and "command"
};

class TerminalSession {
 public:
  TerminalSession(Core core, Settings& settings, TerminalWorld world);

  // Runs the command of `options` (which has one).
  Report run(const Options& options);

  // The stop callback's work for the installation under way on this thread.
  std::int32_t stopFor(const std::string& id, const std::string& path);

 private:
  struct Local {
    std::optional<LocatedCopy> copy;
    std::vector<RunningApplication> running;
    ToolRecord record;
  };
  struct Outcome {
    int exit = Exit::done;
    Document json = Document::object();
  };

  std::expected<std::vector<const Tool*>, std::string> chosenTools(
      const std::vector<std::string>& ids, bool allWhenNone) const;
  Local look(const Tool& tool);
  CheckAnswer check(const Tool& tool, const Local& local);

  Outcome status(const Tool& tool);
  Outcome checkOne(const Tool& tool);
  Outcome install(const Tool& tool, bool onlyUpdate, bool stopRunning);
  Outcome installChecked(const Tool& tool, const Local& local, const CheckAnswer& release,
                         bool stopRunning);
  Outcome notes(const Tool& tool);
  Report reset(bool dryRun);
  Outcome remove(const Tool& tool);
  std::optional<TrashedBundle> trashedCopy(const Tool& tool);
  Outcome restore(const Tool& tool);
  // The window's text and choice after a move to or from the trash.
  Outcome afterTrash(const Tool& tool, const ToolRecord& record, const Event& event, int exit);

  void say(const std::string& line);
  void complain(const std::string& line);

  Core core_;
  Settings& settings_;
  UserDefaults defaults_;
  TerminalWorld world_;
  std::vector<Tool> tools_;
  bool stopRunning_ = false;
  bool stopDeclined_ = false;
};

// Which exit code a failed check's or installation's message means.
int exitForFailure(const std::string& message);

}  // namespace kelvoma::app::terminal
