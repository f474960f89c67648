// The tool status snapshot and the rules that turn it into row texts, enabled
// states and menu items. Pure functions: no platform, no widgets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core_answers.h"
#include "document.h"
#include "ui_model.h"

namespace kelvoma::app {

// What refresh derives for one tool.
struct ToolSnapshot {
  std::optional<std::string> installedPath;  // installed exactly when present
  std::size_t runningCount = 0;
  bool busy = false;
  Document info = Document::object();
  std::optional<CheckAnswer> release;  // the last check's answer, if any
  std::int64_t installedBuild = 0;
  bool updateAvailable = false;
  std::string stateText;
  bool external = false;
  bool inTrash = false;  // moved to the trash by Kelvoma, and not installed since

  bool installed() const { return installedPath.has_value(); }
  bool running() const { return runningCount > 0; }
  bool releaseOk() const { return release && release->ok; }
};

// What a snapshot is made from.
struct SnapshotFacts {
  std::optional<std::string> installedPath{};
  std::size_t runningCount = 0;  // processes of the installed copy
  bool busy = false;             // an installation is under way
  Document info = Document::object();
  std::optional<CheckAnswer> release{};
  bool inTrash = false;  // Kelvoma moved its bundle to the trash and can put it back
};

ToolSnapshot makeSnapshot(const Tool& tool, SnapshotFacts facts);

// The leading decimal integer of "CFBundleVersion" (optional blanks and sign
// first); saturates at the 64-bit limits; 0 when absent or not a number.
std::int64_t installedBuildOf(const Document& info);

// A successful release record whose build, as unsigned 64 bits, exceeds the
// installed build taken as unsigned 64 bits.
bool isUpdateAvailable(const std::optional<CheckAnswer>& release, std::int64_t installedBuild);
// The one rule of "updatable": an installed copy of a tool that Kelvoma
// updates, with such a release.
bool offersUpdate(const Tool& tool, bool installed, const std::optional<CheckAnswer>& release,
                  std::int64_t installedBuild);

std::string stateTextOf(bool installed, std::size_t runningCount);

// Everything a window row shows that changes with the snapshot.
struct RowPresentation {
  std::string stateText;
  Colour stateColour = Colour::secondaryLabel;
  std::string versionText;
  bool toggleOn = false;
  bool toggleEnabled = false;
  bool settingsEnabled = false;
  std::string installTitle;
  bool installEnabled = false;
  std::string trashTitle;  // "Vrátit z koše" for a bundle that can be put back
  bool trashEnabled = false;
  bool notesShown = false;  // "Co je nového": an update whose notes arrived
};

RowPresentation rowPresentation(const ToolSnapshot& snapshot);

// The titles that a row is created with.
std::string settingsButtonTitle(const Tool& tool);
std::string initialMessage(const Tool& tool);

// How many tools have an update that "Aktualizovat vše" would install.
std::size_t updatableCount(const std::vector<ToolSnapshot>& snapshots);

// The status menu, top to bottom, with automatic enabling off everywhere.
Menu statusMenu(const std::vector<Tool>& tools, const std::vector<ToolSnapshot>& snapshots);
MenuItem toolMenuItem(const Tool& tool, const ToolSnapshot& snapshot);

}  // namespace kelvoma::app
