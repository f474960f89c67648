// The application controller: keeps all state of the running application and
// runs every flow that acts on a tool. It reaches the world only through the
// Platform's parts it is given and the core only through Core.
//
// Everything runs on the main thread except the core calls of checks and
// installations (on workers) and stopRunningTool (on an installation's worker).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core.h"
#include "core_answers.h"
#include "document.h"
#include "platform.h"
#include "row_progress.h"
#include "tool_model.h"
#include "tool_status.h"
#include "user_defaults.h"
#include "window_layout.h"

namespace kelvoma::app {

// The first line of the shown text that is not blank, at most 120 bytes (cut
// at a character, with "…").
std::string notesFirstLine(std::string_view text);

// Delays of the flows; tests shorten them.
struct Timing {
  double refreshInterval = 1.0;
  double checkInterval = 3600.0;
  double quitFollowUp = 2.0;   // after a switch-off request
  double stopDeadline = 12.0;  // how long the stop callback waits
  double stopPoll = 0.05;
  // How long a check's message stays at the least, so that a check that
  // fails at once is still seen to have run.
  double checkShownAtLeast = 0.6;
};

// How a tool is opened: in the background (at start-up, when switched on,
// after an installation) or with its settings in front. A tool that updates
// itself always opens in front, without arguments.
enum class Opening { background, settings };

// What the tool is started with when opened that way.
LaunchConfiguration launchConfiguration(const Tool& tool, Opening opening);

// Where a check was asked for: a check from the visible window shows its
// outcome there; any other (the timers, the start, the tray menu) also
// announces new releases on the desktop.
enum class CheckOrigin { window, elsewhere };
inline CheckOrigin originOf(const Sender& sender) {
  return sender.kind == Sender::Kind::control ? CheckOrigin::window : CheckOrigin::elsewhere;
}

// The user's choice for a tool, re-applied at every start.
enum class Choice { off, on };
constexpr Choice choiceOf(bool on) { return on ? Choice::on : Choice::off; }

class Kelvoma final : public ApplicationDelegate {
 public:
  Kelvoma(Platform platform, Core core, Timing timing = {});
  ~Kelvoma() override;
  Kelvoma(const Kelvoma&) = delete;
  Kelvoma& operator=(const Kelvoma&) = delete;

  // ApplicationDelegate.
  void applicationDidFinishLaunching() override;
  bool applicationShouldTerminate() override;
  void applicationShouldHandleReopen() override;
  void applicationWillTerminate() override;
  void perform(Action action, const Sender& sender) override;

  // State, for the platform's tests and the flows: the records, and what
  // follows from them.
  const std::vector<Tool>& tools() const { return tools_; }
  const std::map<std::string, RowRecord>& rows() const { return rows_; }
  const std::map<std::string, ToolRecord>& records() const { return records_; }
  std::map<std::string, CheckAnswer> releases() const;  // each tool's last check
  std::set<std::string> busy() const;
  std::set<std::string> checking() const;
  const WindowLayout& layout() const { return layout_; }

  // Window and menu.
  void show();
  void quit();
  void refresh();
  void makeWindow();
  void message(const std::optional<std::string>& text, const Tool& tool);

  // Queries on tools shared by every flow.
  Document infoDictionaryAtURL(const std::optional<std::string>& url);
  std::optional<std::string> applicationURLForTool(const Tool& tool);
  std::vector<RunningApplication> runningInstancesOfTool(const Tool& tool,
                                                         const std::optional<std::string>& url);
  void announceManagement(const Tool& tool);
  std::string identifier(const Sender& sender) const;
  const Tool* tool(std::string_view id) const;
  ToolSnapshot snapshotOf(const Tool& tool);

  // Tool activation (activation.cpp).
  void toggleTool(const Sender& sender);
  void settingsTool(const Sender& sender);
  void openTool(const Tool& tool, Opening opening);
  void remember(const Tool& tool, Choice choice);
  std::int32_t stopRunningTool(const char* id, const char* path);

  // Update checking (update_checking.cpp).
  void checkAll(CheckOrigin origin = CheckOrigin::elsewhere);
  void scheduledCheck();
  void checkRequested();
  void changeAutomatic(const Sender& sender);
  bool automaticChecks() const;

  // Release notes of offered updates (release_notes.cpp).
  void showNotes(const Sender& sender);

  // Automatic installation of found updates (automatic_install.cpp).
  void changeAutomaticInstall(const Sender& sender);
  bool automaticInstall() const;

  // Installing and adopting (installing.cpp).
  void installTool(const Sender& sender);
  void chooseApplication(const Sender& sender);
  void addApplication(const Tool& tool);

  // Notices on the desktop and the status item's state (announcing.cpp).
  void announceUpdates();
  // A version was installed: the next release is news again.
  void forgetAnnounced(const Tool& tool);
  void refreshStatusItem();

  // Start-up recovery (recovering.cpp).
  void recoverAtStart(bool checkAfterwards);

  // The tools as desktop applications (desktop_apps.cpp): their entries in
  // the application menu, the move to the trash and back, all updates at once.
  void trashTool(const Sender& sender);
  void restoreTool(const std::string& id);
  void updateAll();

  // Launch at login (login.cpp).
  void changeLogin(const Sender& sender);

  // The running system's version as "major.minor.patch".
  std::string operatingSystemVersionText();

 private:
  struct Located {
    std::string path;
    Document info;
  };
  std::optional<Located> locate(const Tool& tool);
  bool carriesIdentifier(const std::string& path, const Tool& tool, Document& info);
  std::vector<RunningApplication> instancesAmong(const std::vector<RunningApplication>& running,
                                                 const Tool& tool, const std::string& url);
  std::optional<InstalledCopy> copyOf(const Tool& tool,
                                      const std::vector<RunningApplication>& running,
                                      std::optional<Located> located);

  // The one way a record changes (applying.cpp): the event is stepped and
  // its effects carried out.
  void apply(const Tool& tool, const Event& event);
  void observe(const Tool& tool);
  Circumstances circumstancesOf(const Tool& tool);
  void carryOut(const Tool& tool, const Effect& effect);
  void afterStep(const Tool& tool, bool wasInNotice, bool hadNotes);

  void writeRow(const RowRecord& row, const RowPresentation& presentation);
  void refreshGlobalControls();
  void launchRememberedTools();
  void launchIfRemembered(const Tool& tool, const std::vector<RunningApplication>& running);
  void resetStatusItemPositionOnce();
  void runCheck(const Tool& tool);
  void finishCheck(const std::string& id, CheckAnswer answer);
  void fetchNotes(const Tool& tool, const CheckAnswer& offered);
  void runInstallation(const Tool& tool);
  void finishInstallation(const std::string& id, const InstallAnswer& answer, bool stopDeclined);
  std::string installationTarget(const Tool& tool);
  static std::int32_t stopCallback(const char* id, const char* path);
  void finishRecovery(const std::string& id, bool recovered, bool checkAfterwards);
  void publishEntry(const Tool& tool, const std::optional<Located>& located);
  void runTrash(const Tool& tool);
  void runRestore(const Tool& tool, const TrashedBundle& bundle);
  void startNextUpdate();
  void postUpdatesNotice();
  bool holdForUpdate(const Tool& tool);
  void rememberWaiting(const Tool& tool, bool waiting);
  // An installation's progress: posted on its worker, shown on the main
  // thread at most ten times a second (installing.cpp).
  struct ProgressRelay;
  static void progressCallback(void* context, std::int32_t phase, std::uint64_t done,
                               std::uint64_t total);
  void relayProgress(const std::shared_ptr<ProgressRelay>& relay, const ProgressReport& report);
  void deliverProgress(const std::shared_ptr<ProgressRelay>& relay);
  void showProgress(const std::string& id, const std::optional<ProgressValue>& value);

  Platform platform_;
  Core core_;
  Timing timing_;
  UserDefaults defaults_;

  std::vector<Tool> tools_;
  std::map<std::string, RowRecord> rows_;
  std::map<std::string, ToolRecord> records_;  // by tool id: all a tool's state
  WindowLayout layout_;
  bool windowMade_ = false;
  std::optional<TimerId> timer_;
  std::optional<TimerId> checkTimer_;
};

}  // namespace kelvoma::app
