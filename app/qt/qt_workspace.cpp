#include "qt_workspace.h"

#include <fcntl.h>
#include <unistd.h>

#include <QProcess>

#include "kelvoma/bundle_program.h"
#include "system/property_list.h"

namespace kelvoma::app::qt {

namespace {

// A copy of this process's environment, built here and handed to the child
// whole, less the tokens Kelvoma itself was started with: they name Kelvoma's
// start, and a tool that presented one would be refused or raise the wrong
// window.
QProcessEnvironment toolEnvironment() {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.remove(QStringLiteral("XDG_ACTIVATION_TOKEN"));
  environment.remove(QStringLiteral("DESKTOP_STARTUP_ID"));
  return environment;
}

}  // namespace

QtWorkspace::QtWorkspace(std::string procRoot, Files& files, Scheduler& scheduler)
    : procRoot_(std::move(procRoot)), files_(files), scheduler_(scheduler), processes_(procRoot_) {}

std::vector<RunningApplication> QtWorkspace::runningApplications() {
  return processes_.scan(scheduler_.uptime());
}

bool QtWorkspace::isTerminated(const RunningApplication& application) {
  return system::isTerminated(application, procRoot_);
}

void QtWorkspace::terminateApplication(const RunningApplication& application) {
  system::terminate(application, procRoot_);
}

LaunchResult QtWorkspace::launch(const std::string& bundlePath, const LaunchConfiguration& config) {
  // Like the workspace, a running copy is not started a second time.
  const std::string resolved = files_.resolveSymlinks(bundlePath);
  for (const RunningApplication& each : runningApplications()) {
    if (files_.resolveSymlinks(each.bundlePath) == resolved) {
      return {.error = std::nullopt, .launched = true};
    }
  }
  const auto info = system::readBundleInfo(bundlePath);
  const auto name = info ? textOf(*info, "CFBundleExecutable") : std::nullopt;
  if (!name || !bundle_program::is_program_name(*name)) {
    return {.error = "Aplikace neuvádí svůj spustitelný soubor.", .launched = false};
  }
  // The program for this processor, as the installation checked it.
  const std::string executable =
      bundlePath + "/" +
      bundle_program::place_for(AT_FDCWD, bundlePath, *name, bundle_program::this_processor);
  if (access(executable.c_str(), X_OK) != 0) {
    return {.error = "Spustitelný soubor aplikace chybí nebo jej nelze spustit.",
            .launched = false};
  }
  QProcess process;
  process.setProgram(QString::fromStdString(executable));
  QStringList arguments;
  for (const std::string& argument : config.arguments) {
    arguments << QString::fromStdString(argument);
  }
  process.setArguments(arguments);
  process.setWorkingDirectory(QString::fromStdString(files_.homeDirectory()));
  process.setProcessEnvironment(toolEnvironment());
  // A detached tool must not hold on to our output: whoever reads it (a
  // terminal, a pipe) would otherwise wait on the tool too.
  process.setStandardInputFile(QProcess::nullDevice());
  process.setStandardOutputFile(QProcess::nullDevice());
  process.setStandardErrorFile(QProcess::nullDevice());
  if (!process.startDetached()) {
    return {.error = "Aplikaci se nepodařilo spustit.", .launched = false};
  }
  // Activation is the tool's own business on this desktop: it raises its window.
  return {.error = std::nullopt, .launched = true};
}

void QtWorkspace::openApplication(const std::string& bundlePath, const LaunchConfiguration& config,
                                  std::function<void(LaunchResult)> completion) {
  LaunchResult result = launch(bundlePath, config);
  scheduler_.runOnMain(
      [completion = std::move(completion), result = std::move(result)] { completion(result); });
}

}  // namespace kelvoma::app::qt
