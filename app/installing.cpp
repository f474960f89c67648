// Installing and updating through the core, and adopting a copy of a tool that
// lies elsewhere on the disk.
#include <algorithm>
#include <cctype>

#include "controller.h"
#include "tool_place.h"

namespace kelvoma::app {
namespace {

// The installation that runs on this thread: the core hands the stop
// callback no context of its own, and calls it on the installing thread.
struct Installing {
  Kelvoma* controller = nullptr;
  Cause cause = Cause::click;
  bool stopDeclined = false;  // it met the tool running, or its copy gone
};
thread_local Installing* installing = nullptr;

class InstallingScope {
 public:
  explicit InstallingScope(Installing& current) { installing = &current; }
  ~InstallingScope() { installing = nullptr; }
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
  bool ended = false;  // main thread only: later deliveries show nothing
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
  if (report && !relay->ended) {
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
  if (installing == nullptr) {
    return -1;
  }
  Kelvoma& controller = *installing->controller;
  if (installing->cause == Cause::click) {
    return controller.stopRunningTool(id, path);
  }
  // An update nobody clicked for this very tool never installs a copy that
  // went away meanwhile, and an automatic one never stops a tool: running, it
  // waits for the next stop.
  bool present = false;
  bool runs = false;
  controller.platform_.scheduler.runOnMainAndWait([&] {
    Document info;
    const Tool* found = controller.tool(id == nullptr ? "" : id);
    present =
        found != nullptr && path != nullptr && controller.carriesIdentifier(path, *found, info);
    runs = present && !controller.runningInstancesOfTool(*found, std::string(path)).empty();
  });
  if (!present || (runs && installing->cause == Cause::automatic)) {
    installing->stopDeclined = true;
    return -1;
  }
  return controller.stopRunningTool(id, path);
}

void Kelvoma::installTool(const Sender& sender) {
  const Tool* found = tool(identifier(sender));
  if (found == nullptr) {
    return;
  }
  observe(*found);
  const ToolRecord& record = records_.at(found->id);
  if (app::busy(record)) {
    return;
  }
  if (found->external && installed(record)) {
    chooseApplication(sender);
    return;
  }
  if (installable(*found, record)) {
    apply(*found, event::InstallAsked{.cause = Cause::click});
    refresh();
  } else {
    checkAll(originOf(sender));
  }
}

std::string Kelvoma::installationTarget(const Tool& target) {
  const auto& copy = records_.at(target.id).copy;
  return app::installationTarget(
      target, copy ? std::optional<std::string>(copy->path) : std::nullopt,
      platform_.files.isWritable("/Applications"), platform_.files.homeDirectory());
}

void Kelvoma::runInstallation(const Tool& target) {
  auto relay = std::make_shared<ProgressRelay>(*this, target.id);
  showProgress(target.id, ProgressValue{});  // busy until the first report
  const std::string path = installationTarget(target);
  const std::string version = operatingSystemVersionText();
  const Cause cause = records_.at(target.id).cause;
  platform_.scheduler.runOnWorker([this, id = target.id, path, version, relay, cause]() mutable {
    Installing current{.controller = this, .cause = cause, .stopDeclined = false};
    InstallAnswer answer;
    {
      InstallingScope scope(current);
      answer = askInstall(core_, id, path, version, &Kelvoma::stopCallback,
                          &Kelvoma::progressCallback, &relay);
    }
    platform_.scheduler.runOnMain(
        [this, id, answer = std::move(answer), relay, declined = current.stopDeclined] {
          relay->ended = true;
          finishInstallation(id, answer, declined);
        });
  });
}

void Kelvoma::finishInstallation(const std::string& id, const InstallAnswer& answer,
                                 bool stopDeclined) {
  showProgress(id, std::nullopt);  // the bar goes as the result comes
  const Tool* installed = tool(id);
  if (installed == nullptr) {
    return refresh();
  }
  if (answer.ok) {
    announceManagement(*installed);
    forgetAnnounced(*installed);
  }
  observe(*installed);  // the notice names the version now in place
  const Cause cause = records_.at(id).cause;
  apply(*installed,
        event::InstallEnded{.answer = answer, .stopDeclined = stopDeclined && !answer.ok});
  refresh();
  if (cause == Cause::updateAll) {
    startNextUpdate();
  }
}

void Kelvoma::chooseApplication(const Sender& sender) {
  const Tool* found = tool(identifier(sender));
  if (found == nullptr || app::busy(records_.at(found->id))) {
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
      defaults_.setString(applicationPathKey(*adopted), url);
      remember(*adopted, choiceOf(!runningInstancesOfTool(*adopted, url).empty()));
      refresh();
    } else {
      platform_.dialogs.showAlertSheet("Jiná aplikace", "Vyber aplikaci " + adopted->name + ".");
    }
  });
}

}  // namespace kelvoma::app
