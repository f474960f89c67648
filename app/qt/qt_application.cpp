#include "qt_application.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>

#include "system/system_version.h"

namespace kelvoma::app::qt {
namespace {

int terminationPipeWriter = -1;  // the only state a signal handler may touch

void onSignal(int) {
  const char byte = 1;
  (void)!write(terminationPipeWriter, &byte, 1);
}

}  // namespace

QtApplication::QtApplication(std::vector<std::string> arguments, std::function<QWidget*()> window)
    : arguments_(std::move(arguments)), window_(std::move(window)) {}

QtApplication::~QtApplication() {
  if (signalPipe_[0] >= 0) {
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    terminationPipeWriter = -1;
    signals_.reset();
    close(signalPipe_[0]);
    close(signalPipe_[1]);
  }
}

// SIGTERM and SIGINT are the system asking to quit: they go the way of "quit"
// from the menu, and so are refused while an installation runs.
void QtApplication::catchTerminationSignals() {
  if (pipe2(signalPipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    return;
  }
  terminationPipeWriter = signalPipe_[1];
  signals_ = std::make_unique<QSocketNotifier>(signalPipe_[0], QSocketNotifier::Read);
  QObject::connect(signals_.get(), &QSocketNotifier::activated, signals_.get(),
                   [this] { onTerminationSignal(); });
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

void QtApplication::onTerminationSignal() {
  char bytes[16];
  while (read(signalPipe_[0], bytes, sizeof bytes) > 0) {
  }
  terminate();
}

std::vector<std::string> QtApplication::arguments() { return arguments_; }

void QtApplication::activateIgnoringOtherApps() {
  if (QWidget* window = window_()) {
    window->raise();
    window->activateWindow();
  }
}

void QtApplication::terminate() {
  if (delegate_ != nullptr && !delegate_->applicationShouldTerminate()) {
    return;
  }
  if (delegate_ != nullptr) {
    delegate_->applicationWillTerminate();
  }
  QCoreApplication::quit();
}

SystemVersion QtApplication::operatingSystemVersion() { return system::runningSystemVersion(); }

}  // namespace kelvoma::app::qt
