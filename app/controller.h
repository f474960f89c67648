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
#include "tool_status.h"
#include "user_defaults.h"
#include "window_layout.h"

namespace kelvoma::app {

// Release notes as the panel shows them: the text without control characters
// other than line feed and tab, and without direction overrides and isolates
// (release_notes.cpp).
std::string shownNotesText(std::string_view text);
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

  // State, for the platform's tests and the flows.
  const std::vector<Tool>& tools() const { return tools_; }
  const std::map<std::string, RowRecord>& rows() const { return rows_; }
  const std::map<std::string, CheckAnswer>& releases() const { return releases_; }
  const std::set<std::string>& busy() const { return busy_; }
  const std::set<std::string>& checking() const { return checking_; }
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
  // Before the check's answer is kept: the notes of the same release come
  // along, other notes are fetched on a worker.
  void fetchNotes(const std::string& id, CheckAnswer& offered);
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
  void awaitNotes(const std::vector<ToolSnapshot>& snapshots);
  void announceNotes(const std::string& id, std::uint64_t build);
  void announceInstallation(const Tool& tool, const InstallAnswer& answer);
  void refreshStatusItem(const std::vector<ToolSnapshot>& snapshots);

  // Start-up recovery (recovering.cpp).
  void recoverAtStart(bool checkAfterwards);

  // The tools as desktop applications (desktop_apps.cpp): their entries in
  // the application menu, the move to the trash and back, all updates at once.
  void trashTool(const Sender& sender);
  void restoreTool(const std::string& id, const TrashedBundle& bundle);
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
  ToolSnapshot snapshotOf(const Tool& tool, const std::vector<RunningApplication>& running,
                          std::optional<Located> located);
  void writeRow(const RowRecord& row, const RowPresentation& presentation);
  void refreshGlobalControls();
  void launchRememberedTools();
  void launchIfRemembered(const Tool& tool, const std::vector<RunningApplication>& running);
  void resetStatusItemPositionOnce();
  void finishCheck(const std::string& id, CheckAnswer answer);
  void finishNotes(const std::string& id, const CheckAnswer& offered, std::string text);
  void startInstallation(const Tool& tool, const ToolSnapshot& snapshot);
  void finishInstallation(const std::string& id, const InstallAnswer& answer);
  void installAutomatically(const Tool& tool);
  void retryWaitingUpdates();
  bool holdForUpdate(const Tool& tool);
  void releaseHeld(const std::string& id);
  void rememberWaiting(const std::string& id, bool waiting);
  std::string installationTarget(const Tool& tool, const ToolSnapshot& snapshot);
  static std::int32_t stopCallback(const char* id, const char* path);
  void finishRecovery(const std::string& id, bool recovered, bool checkAfterwards);
  void publishEntry(const Tool& tool, const std::optional<Located>& located);
  void finishTrash(const std::string& id, const std::string& path, std::int32_t stopped);
  void startNextUpdate();
  void continueUpdateAll(const std::string& id, const InstallAnswer& answer);
  struct UpdateRun {
    std::vector<std::string> waiting;  // tool ids, in the catalog's order
    std::optional<std::string> current;
    std::vector<std::string> updated;  // tool names
    std::vector<std::string> failed;   // tool names
  };
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
  std::map<std::string, CheckAnswer> releases_;  // the last check of each tool
  std::set<std::string> busy_;
  std::set<std::string> checking_;
  // Found updates to install once the tool may be touched, with what the row
  // last said about the wait.
  std::map<std::string, std::string> waiting_;
  std::set<std::string> automatic_;   // installations that no click started
  std::set<std::string> held_;        // switched on, not started before their update
  std::set<std::string> announcing_;  // running checks that may announce a new release
  bool installFailedUnseen_ = false;  // since the window was last shown
  // Announced releases whose notes had not come yet: tool id → build.
  std::map<std::string, std::uint64_t> noticeAwaitsNotes_;
  std::map<std::string, std::shared_ptr<ProgressRelay>> progress_;  // by tool id, while busy
  WindowLayout layout_;
  bool windowMade_ = false;
  std::size_t recovering_ = 0;  // tools whose start-up recovery is still running
  std::optional<TimerId> timer_;
  std::optional<TimerId> checkTimer_;
  std::map<std::string, std::optional<ToolEntry>> entries_;  // as last published, by tool id
  std::optional<UpdateRun> updateRun_;
  // Bundles moved to the trash in this run, offered back in their rows and
  // menus (without a notification service, the only way back from here).
  std::map<std::string, TrashedBundle> trashed_;
};

}  // namespace kelvoma::app
