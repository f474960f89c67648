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

// One installation's reports on their way from its worker to its row.
struct Kelvoma::ProgressRelay {
  ProgressRelay(Kelvoma& owner, std::string tool) : controller(owner), id(std::move(tool)) {}
  Kelvoma& controller;
  const std::string id;
  ProgressMailbox mailbox;
};

void Kelvoma::progressCallback(void* context, std::int32_t phase, std::uint64_t done,
                               std::uint64_t total) {
  const auto& relay = *static_cast<std::shared_ptr<ProgressRelay>*>(context);
  relay->controller.relayProgress(relay, {.phase = phase, .done = done, .total = total});
}

// On the worker: the first report of a burst goes to the main thread at once,
// later ones wait for the interval since the last delivery and collapse.
void Kelvoma::relayProgress(const std::shared_ptr<ProgressRelay>& relay,
                            const ProgressReport& report) {
  const auto delay = relay->mailbox.post(report, platform_.scheduler.uptime());
  if (!delay) {
    return;
  }
  platform_.scheduler.runOnMain([this, relay, delay = *delay] {
    if (delay <= 0) {
      deliverProgress(relay);
    } else {
      platform_.scheduler.runOnMainAfter(delay, [this, relay] { deliverProgress(relay); });
    }
  });
}

void Kelvoma::deliverProgress(const std::shared_ptr<ProgressRelay>& relay) {
  const auto report = relay->mailbox.take(platform_.scheduler.uptime());
  const auto current = progress_.find(relay->id);
  // A delivery that arrives after its installation ended shows nothing.
  if (report && current != progress_.end() && current->second == relay) {
    showProgress(relay->id, progressValueOf(*report));
  }
}

// A value shows the bar with it; nothing hides the bar.
void Kelvoma::showProgress(const std::string& id, const std::optional<ProgressValue>& value) {
  const auto row = rows_.find(id);
  if (row == rows_.end()) {
    return;
  }
  if (value) {
    platform_.screen.setProgress(row->second.progress, *value);
    platform_.screen.setToolTip(
        row->second.progress,
        value->text.empty() ? std::nullopt : std::optional<std::string>(value->text));
  }
  platform_.screen.setHidden(row->second.progress, !value);
}

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
    checkAll(originOf(sender));
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
  auto relay = std::make_shared<ProgressRelay>(*this, target.id);
  progress_[target.id] = relay;
  showProgress(target.id, ProgressValue{});  // busy until the first report
  refresh();
  const std::string path = installationTarget(target, snapshot);
  const std::string version = operatingSystemVersionText();
  platform_.scheduler.runOnWorker([this, id = target.id, path, version, relay]() mutable {
    InstallAnswer answer;
    {
      InstallingScope scope(this);
      answer = askInstall(core_, id, path, version, &Kelvoma::stopCallback,
                          &Kelvoma::progressCallback, &relay);
    }
    platform_.scheduler.runOnMain(
        [this, id, answer = std::move(answer)] { finishInstallation(id, answer); });
  });
}

void Kelvoma::finishInstallation(const std::string& id, const InstallAnswer& answer) {
  busy_.erase(id);
  progress_.erase(id);
  showProgress(id, std::nullopt);  // the bar goes as the result comes
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
  announceInstallation(*installed, answer);
  // The copy in place starts again whether or not the new one made it; a
  // tool updated automatically after it stopped by itself starts as it would
  // have (a tool the user switched off is remembered off).
  const bool automatic = automatic_.erase(id) > 0;
  held_.erase(id);
  if (answer.relaunch || (installed->external && answer.ok) ||
      (automatic && defaults_.boolForKey("enabled." + id) &&
       runningInstancesOfTool(*installed, applicationURLForTool(*installed)).empty())) {
    openTool(*installed, Opening::background);
  }
  entries_.erase(id);  // the new copy may bring another icon
  refresh();
  continueUpdateAll(id, answer);
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
      .directory = platform_.files.isDirectory("/Applications")
                       ? std::string("/Applications")
                       : platform_.files.homeDirectory() + "/Applications",
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
