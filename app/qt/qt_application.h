// The application part of the Qt platform: arguments, activation, the end of
// the application (the menu's quit and SIGTERM/SIGINT alike) and the running
// system.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform.h"

class QSocketNotifier;

namespace kelvoma::app::qt {

class QtApplication : public Application {
 public:
  // window: the manager window once it is made, or nullptr.
  QtApplication(std::vector<std::string> arguments, std::function<QWidget*()> window);
  ~QtApplication() override;
  QtApplication(const QtApplication&) = delete;
  QtApplication& operator=(const QtApplication&) = delete;

  void setDelegate(ApplicationDelegate* delegate) { delegate_ = delegate; }
  ApplicationDelegate* delegate() const { return delegate_; }
  // SIGTERM and SIGINT from now on ask to terminate as the menu's quit does.
  void catchTerminationSignals();

  std::vector<std::string> arguments() override;
  void activateIgnoringOtherApps() override;
  void terminate() override;
  SystemVersion operatingSystemVersion() override;

 private:
  void onTerminationSignal();

  std::vector<std::string> arguments_;
  std::function<QWidget*()> window_;
  ApplicationDelegate* delegate_ = nullptr;
  std::unique_ptr<QSocketNotifier> signals_;
  int signalPipe_[2] = {-1, -1};
};

}  // namespace kelvoma::app::qt
