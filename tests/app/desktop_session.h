// A desktop of its own for end-to-end tests of the real executable: a virtual
// X display, a private session bus with the accessibility bus switched on,
// and a way to read and press the application's controls as a screen reader
// and a mouse would.
//
//   DesktopSession desktop;                 // Xvfb, dbus-daemon, a11y on
//   ASSERT_TRUE(desktop.ready()) << desktop.failure();
//   auto app = Process::start({exe}, logPath);  // inherits DISPLAY and the bus
//   auto tree = desktop.accessibility().application("Kelvoma");
//   desktop.click(button.centre());         // a real pointer click (xdotool)
//   desktop.screenshot(area, "shot.png");
//
// The session's DISPLAY and DBUS_SESSION_BUS_ADDRESS are set in this process's
// environment for its lifetime, so everything started meanwhile uses them.
// Needs Xvfb, dbus-daemon, at-spi2-core, xdotool and ImageMagick's import.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvoma::app::testing {

// A child process started with this process's environment, its standard
// output and error appended to a log file (or piped, for reading a first
// line). Ended with SIGKILL and reaped when the owner goes, unless waited for.
class Process {
 public:
  static std::optional<Process> start(const std::vector<std::string>& arguments,
                                      const std::string& logPath);
  // Standard output piped: readLine() reads what the child writes there.
  static std::optional<Process> startPiped(const std::vector<std::string>& arguments,
                                           const std::string& errorLogPath);
  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process();

  pid_t pid() const { return pid_; }
  bool running();
  // The first line the child writes to its piped output, within the limit.
  std::optional<std::string> readLine(std::chrono::milliseconds limit);
  // Sends `signal` and waits for the end; the exit status, or -1 when it was
  // ended by a signal or did not end within the limit (then it is killed).
  int stop(int signal, std::chrono::milliseconds limit);

 private:
  Process() = default;
  void reap(bool force);
  pid_t pid_ = -1;
  int output_ = -1;
  int status_ = 0;
};

struct ScreenRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  int centreX() const { return x + width / 2; }
  int centreY() const { return y + height / 2; }
};

// One object of an application's accessibility tree, as read at one moment.
struct AccessibleNode {
  std::string role;  // the toolkit's role name: "push button", "label", …
  std::string name;  // for labels and buttons, the text they show
  bool enabled = false;
  ScreenRect extents;  // screen coordinates
  std::vector<AccessibleNode> children;

  // Depth first, this node included.
  const AccessibleNode* find(const std::function<bool(const AccessibleNode&)>& matches) const;
  // The children with this role, in order.
  std::vector<const AccessibleNode*> childrenWithRole(std::string_view wanted) const;
};

class AccessibilityBus;

class DesktopSession {
 public:
  DesktopSession();
  DesktopSession(const DesktopSession&) = delete;
  DesktopSession& operator=(const DesktopSession&) = delete;
  ~DesktopSession();

  bool ready() const { return failure_.empty(); }
  const std::string& failure() const { return failure_; }
  const std::string& display() const { return display_; }
  const std::string& busAddress() const { return busAddress_; }

  // The tree of the running application with this name, read afresh; nothing
  // while no such application is on the accessibility bus.
  std::optional<AccessibleNode> application(std::string_view name);

  // Runs a program of the session (xdotool, import, dbus-send) to its end;
  // its error output when it fails, nothing when it succeeds.
  std::optional<std::string> run(const std::vector<std::string>& arguments);
  std::optional<std::string> click(int x, int y);
  std::optional<std::string> screenshot(const ScreenRect& area, const std::string& path);

 private:
  std::string failure_;
  std::string workDirectory_;
  std::string display_;
  std::string busAddress_;
  std::optional<std::string> previousDisplay_;
  std::optional<std::string> previousBus_;
  std::optional<Process> xvfb_;
  std::optional<Process> bus_;
  std::unique_ptr<AccessibilityBus> accessibility_;
};

// Polls `condition` every 100 ms until it holds or the limit is up.
bool eventually(std::chrono::milliseconds limit, const std::function<bool()>& condition);

}  // namespace kelvoma::app::testing
