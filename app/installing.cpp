// Installing and updating through the core, and adopting a copy of a tool that
// lies elsewhere on the disk.
#include <algorithm>
#include <cctype>

#include "controller.h"

namespace kelvoma::app {
namespace {

// The controller whose installation runs on this thread: the core hands the
// stop callback no context of its own, and calls it on the installing thread.
thread_local Kelvoma* installingController = nullptr;

class InstallingScope {
 public:
  explicit InstallingScope(Kelvoma* controller) { installingController = controller; }
  ~InstallingScope() { installingController = nullptr; }
  InstallingScope(const InstallingScope&) = delete;
  InstallingScope& operator=(const InstallingScope&) = delete;
};

std::string lowered(std::string text) {
  std::ranges::transform(text, text.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string extensionOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const auto dot = name.find_last_of('.');
  return dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot + 1);
}

}  // namespace

std::int32_t Kelvoma::stopCallback(const char* id, const char* path) {
  // Nobody to ask: treat the tool as still running rather than replace it blind.
  return installingController == nullptr ? -1 : installingController->stopRunningTool(id, path);
}

void Kelvoma::installTool(const Sender& sender) {
  const Tool* found = tool(identifier(sender));
  if (found == nullptr || busy_.contains(found->id)) {
    return;
  }
  const ToolSnapshot snapshot = snapshotOf(*found);
  if (found->external && snapshot.installed()) {
    chooseApplication(sender);
    return;
  }
  if (found->external || !snapshot.installed() || snapshot.releaseOk()) {
    startInstallation(*found, snapshot);
  } else {
    checkAll();
  }
}

std::string Kelvoma::installationTarget(const Tool& target, const ToolSnapshot& snapshot) {
  if (snapshot.installedPath) {
    return *snapshot.installedPath;
  }
  const std::string folder = platform_.files.isWritable("/Applications")
                                 ? std::string("/Applications")
                                 : platform_.files.homeDirectory() + "/Applications";
  return folder + "/" + target.bundleName;
}

void Kelvoma::startInstallation(const Tool& target, const ToolSnapshot& snapshot) {
  busy_.insert(target.id);
  message(std::string("Stahuji a ověřuji balíček…"), target);
  refresh();
  const std::string path = installationTarget(target, snapshot);
  const std::string version = operatingSystemVersionText();
  platform_.scheduler.runOnWorker([this, id = target.id, path, version] {
    InstallAnswer answer;
    {
      InstallingScope scope(this);
      answer = askInstall(core_, id, path, version, &Kelvoma::stopCallback);
    }
    platform_.scheduler.runOnMain(
        [this, id, answer = std::move(answer)] { finishInstallation(id, answer); });
  });
}

void Kelvoma::finishInstallation(const std::string& id, const InstallAnswer& answer) {
  busy_.erase(id);
  const Tool* installed = tool(id);
  if (installed == nullptr) {
    refresh();
    return;
  }
  if (answer.ok) {
    announceManagement(*installed);
    message(std::string("Nainstalováno."), *installed);
  } else {
    message(answer.error, *installed);
  }
  // The copy in place starts again whether or not the new one made it.
  if (answer.relaunch || (installed->external && answer.ok)) {
    openTool(*installed, Opening::background);
  }
  refresh();
}

void Kelvoma::chooseApplication(const Sender& sender) {
  const Tool* found = tool(identifier(sender));
  if (found == nullptr || busy_.contains(found->id)) {
    return;
  }
  show();
  addApplication(*found);
}

void Kelvoma::addApplication(const Tool& target) {
  const OpenPanelOptions options{
      .title = "Přidat " + target.name + " do správy",
      .prompt = "Přidat",
      .directory = "/Applications",
  };
  platform_.dialogs.beginOpenPanelSheet(options, [this, id = target.id](
                                                     std::optional<std::string> chosen) {
    const Tool* adopted = tool(id);
    if (!chosen || adopted == nullptr) {
      return;
    }
    const std::string url = platform_.files.resolveSymlinks(*chosen);
    Document info;
    if (lowered(extensionOf(url)) == "app" && carriesIdentifier(url, *adopted, info)) {
      defaults_.setString("applicationPath." + adopted->id, url);
      remember(*adopted, choiceOf(!runningInstancesOfTool(*adopted, url).empty()));
      refresh();
    } else {
      platform_.dialogs.showAlertSheet("Jiná aplikace", "Vyber aplikaci " + adopted->name + ".");
    }
  });
}

}  // namespace kelvoma::app
