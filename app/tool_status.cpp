#include "tool_status.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <utility>

namespace kelvoma::app {
namespace {

// The trash button and menu item: to the trash, or back from it.
std::string trashTitleOf(const ToolSnapshot& snapshot) {
  return snapshot.inTrash ? "Vrátit z koše" : "Přesunout do koše";
}

bool trashEnabledOf(const ToolSnapshot& snapshot) {
  return !snapshot.busy && (snapshot.installed() || snapshot.inTrash);
}

std::int64_t leadingInteger(const std::string& text) {
  std::size_t at = 0;
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) {
    ++at;
  }
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    negative = text[at] == '-';
    ++at;
  }
  // Accumulate towards the sign so that the most negative value fits, and
  // stop at the limit like a saturating integer reader.
  constexpr std::int64_t high = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t low = std::numeric_limits<std::int64_t>::min();
  std::int64_t value = 0;
  for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at) {
    const int digit = text[at] - '0';
    if (negative) {
      if (value < (low + digit) / 10) {
        return low;
      }
      value = value * 10 - digit;
    } else {
      if (value > (high - digit) / 10) {
        return high;
      }
      value = value * 10 + digit;
    }
  }
  return value;
}

MenuItem item(std::string title, std::optional<Action> action, std::string toolId = {}) {
  MenuItem made;
  made.title = std::move(title);
  made.action = action;
  made.representedObject = std::move(toolId);
  made.enabled = action.has_value();
  return made;
}

MenuItem separator() {
  MenuItem made;
  made.separator = true;
  return made;
}

std::string installMenuTitle(const Tool& tool, const ToolSnapshot& snapshot) {
  if (!snapshot.installed()) {
    return "Nainstalovat…";
  }
  return tool.external ? "Přidat aplikaci…" : "Aktualizovat…";
}

bool installMenuEnabled(const ToolSnapshot& snapshot) {
  if (snapshot.busy) {
    return false;
  }
  if (!snapshot.installed() || snapshot.updateAvailable || snapshot.external) {
    return true;
  }
  return !snapshot.releaseOk();
}

}  // namespace

std::int64_t installedBuildOf(const Document& info) {
  if (!info.is_object()) {
    return 0;
  }
  const auto found = info.find("CFBundleVersion");
  if (found == info.end()) {
    return 0;
  }
  if (found->is_string()) {
    return leadingInteger(found->get<std::string>());
  }
  // A number stored as such in the property list means the same build.
  if (found->is_number_integer()) {
    return found->is_number_unsigned() && found->get<std::uint64_t>() > std::uint64_t(INT64_MAX)
               ? INT64_MAX
               : found->get<std::int64_t>();
  }
  return 0;
}

bool isUpdateAvailable(const std::optional<CheckAnswer>& release, std::int64_t installedBuild) {
  return release && release->ok && release->build > static_cast<std::uint64_t>(installedBuild);
}

bool offersUpdate(const Tool& tool, bool installed, const std::optional<CheckAnswer>& release,
                  std::int64_t installedBuild) {
  return !tool.external && installed && isUpdateAvailable(release, installedBuild);
}

std::string stateTextOf(bool installed, std::size_t runningCount) {
  if (runningCount > 0) {
    return "Běží";
  }
  return installed ? "Vypnuto" : "Nenainstalováno";
}

ToolSnapshot makeSnapshot(const Tool& tool, SnapshotFacts facts) {
  ToolSnapshot snapshot;
  snapshot.installedPath = std::move(facts.installedPath);
  snapshot.runningCount = facts.runningCount;
  snapshot.busy = facts.busy;
  snapshot.info = std::move(facts.info);
  snapshot.release = std::move(facts.release);
  snapshot.installedBuild = installedBuildOf(snapshot.info);
  snapshot.updateAvailable =
      offersUpdate(tool, snapshot.installed(), snapshot.release, snapshot.installedBuild);
  snapshot.stateText = stateTextOf(snapshot.installed(), snapshot.runningCount);
  snapshot.external = tool.external;
  snapshot.inTrash = facts.inTrash && !snapshot.installed();
  return snapshot;
}

RowPresentation rowPresentation(const ToolSnapshot& snapshot) {
  RowPresentation row;
  row.stateText = snapshot.stateText;
  row.stateColour = snapshot.running() ? Colour::systemGreen : Colour::secondaryLabel;
  if (snapshot.installed()) {
    const std::string version =
        describedOf(snapshot.info, "CFBundleShortVersionString").value_or("?");
    const std::string news =
        snapshot.updateAvailable ? "  ·  Nová verze " + snapshot.release->version : "";
    row.versionText = "Nainstalováno " + version + news;
  } else {
    row.versionText = "Stáhni nástroj do složky ~/Applications.";
  }
  row.notesShown = snapshot.updateAvailable && snapshot.release->notes.has_value();
  row.toggleOn = snapshot.running();
  row.toggleEnabled = snapshot.installed() && !snapshot.busy;
  row.settingsEnabled = row.toggleEnabled;
  row.trashTitle = trashTitleOf(snapshot);
  row.trashEnabled = trashEnabledOf(snapshot);

  if (snapshot.busy) {
    row.installTitle = "Pracuji…";
    row.installEnabled = false;
  } else if (!snapshot.installed()) {
    row.installTitle = "Nainstalovat";
    row.installEnabled = true;
  } else if (snapshot.external) {
    row.installTitle = "Přidat aplikaci…";
    row.installEnabled = true;
  } else if (snapshot.releaseOk()) {
    row.installTitle = snapshot.updateAvailable ? "Aktualizovat" : "Aktuální verze";
    row.installEnabled = snapshot.updateAvailable;
  } else {
    row.installTitle = "Zkontrolovat";
    row.installEnabled = true;
  }
  return row;
}

std::string settingsButtonTitle(const Tool& tool) {
  return tool.external ? "Otevřít…" : "Nastavení…";
}

std::string initialMessage(const Tool& tool) {
  return tool.external ? "Aktualizace spravuje samotná aplikace." : "";
}

MenuItem toolMenuItem(const Tool& tool, const ToolSnapshot& snapshot) {
  MenuItem head = item(tool.name + " · " + snapshot.stateText, std::nullopt);
  const bool usable = snapshot.installed() && !snapshot.busy;

  std::vector<MenuItem> submenu;
  MenuItem toggle = item(snapshot.running() ? "Vypnout" : "Zapnout", Action::toggleTool, tool.id);
  toggle.enabled = usable;
  submenu.push_back(std::move(toggle));

  MenuItem settings = item(tool.external ? "Otevřít aplikaci…" : "Nastavení nástroje…",
                           Action::settingsTool, tool.id);
  settings.enabled = usable;
  submenu.push_back(std::move(settings));

  MenuItem install = item(installMenuTitle(tool, snapshot), Action::installTool, tool.id);
  install.enabled = installMenuEnabled(snapshot);
  submenu.push_back(std::move(install));

  if (tool.external && !snapshot.installed()) {
    MenuItem adopt = item("Vybrat existující aplikaci…", Action::chooseApplication, tool.id);
    adopt.enabled = !snapshot.busy;
    submenu.push_back(std::move(adopt));
  }

  MenuItem trash = item(trashTitleOf(snapshot), Action::trashTool, tool.id);
  trash.enabled = trashEnabledOf(snapshot);
  submenu.push_back(std::move(trash));

  head.submenu = std::move(submenu);
  head.enabled = true;  // so that its submenu opens
  return head;
}

std::size_t updatableCount(const std::vector<ToolSnapshot>& snapshots) {
  return static_cast<std::size_t>(std::ranges::count_if(
      snapshots, [](const ToolSnapshot& each) { return each.updateAvailable && !each.busy; }));
}

Menu statusMenu(const std::vector<Tool>& tools, const std::vector<ToolSnapshot>& snapshots) {
  Menu menu;
  menu.items.push_back(item("Kelvoma", std::nullopt));
  menu.items.push_back(separator());
  for (std::size_t i = 0; i < tools.size() && i < snapshots.size(); ++i) {
    menu.items.push_back(toolMenuItem(tools[i], snapshots[i]));
  }
  menu.items.push_back(separator());
  menu.items.push_back(item("Otevřít správce…", Action::show));
  menu.items.push_back(item("Zkontrolovat verze", Action::checkAll));
  if (updatableCount(snapshots) >= 2) {
    menu.items.push_back(item("Aktualizovat vše", Action::updateAll));
  }
  menu.items.push_back(separator());
  menu.items.push_back(item("Ukončit Kelvoma", Action::quit));
  menu.autoenablesItems = false;
  return menu;
}

}  // namespace kelvoma::app
