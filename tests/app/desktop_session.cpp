#include "desktop_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QVariant>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/run_program.h"
#include "support/temp_dir.h"

extern char** environ;

namespace kelvoma::app::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kXvfb = "/usr/bin/Xvfb";
constexpr const char* kDbusDaemon = "/usr/bin/dbus-daemon";
constexpr int kCallTimeoutMs = 5000;

// Accessibility states as bit numbers of the two-word state set.
constexpr unsigned kStateEnabled = 8;

std::optional<std::string> environmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::nullopt : std::optional<std::string>(value);
}

void restoreEnvironment(const char* name, const std::optional<std::string>& value) {
  if (value) {
    setenv(name, value->c_str(), 1);
  } else {
    unsetenv(name);
  }
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

}  // namespace

// ---- Process ------------------------------------------------------------------

namespace {

std::optional<pid_t> spawnWith(const std::vector<std::string>& arguments, int outputFd,
                               int errorFd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
  posix_spawn_file_actions_adddup2(&actions, errorFd, 2);
  std::vector<char*> argv;
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  // Children start with an empty mask whatever this process blocks.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t empty;
  sigemptyset(&empty);
  posix_spawnattr_setsigmask(&attributes, &empty);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) {
    return std::nullopt;
  }
  return pid;
}

int openLog(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

}  // namespace

std::optional<Process> Process::start(const std::vector<std::string>& arguments,
                                      const std::string& logPath) {
  const int log = openLog(logPath);
  if (log < 0) {
    return std::nullopt;
  }
  const auto pid = spawnWith(arguments, log, log);
  ::close(log);
  if (!pid) {
    return std::nullopt;
  }
  Process made;
  made.pid_ = *pid;
  return made;
}

std::optional<Process> Process::startPiped(const std::vector<std::string>& arguments,
                                           const std::string& errorLogPath) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    return std::nullopt;
  }
  const int log = openLog(errorLogPath);
  const auto pid = log < 0 ? std::nullopt : spawnWith(arguments, pipeFds[1], log);
  if (log >= 0) {
    ::close(log);
  }
  ::close(pipeFds[1]);
  if (!pid) {
    ::close(pipeFds[0]);
    return std::nullopt;
  }
  Process made;
  made.pid_ = *pid;
  made.output_ = pipeFds[0];
  return made;
}

Process::Process(Process&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      output_(std::exchange(other.output_, -1)),
      status_(other.status_) {}

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    reap(true);
    pid_ = std::exchange(other.pid_, -1);
    output_ = std::exchange(other.output_, -1);
    status_ = other.status_;
  }
  return *this;
}

Process::~Process() { reap(true); }

void Process::reap(bool force) {
  if (output_ >= 0) {
    ::close(output_);
    output_ = -1;
  }
  if (pid_ > 0) {
    if (force) {
      ::kill(pid_, SIGKILL);
    }
    while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
}

bool Process::running() {
  if (pid_ <= 0) {
    return false;
  }
  const pid_t done = waitpid(pid_, &status_, WNOHANG);
  if (done == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

std::optional<std::string> Process::readLine(std::chrono::milliseconds limit) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (output_ >= 0 && line.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left <= 0ms) {
      return std::nullopt;
    }
    pollfd entry{output_, POLLIN, 0};
    const int ready = poll(&entry, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      return std::nullopt;
    }
    char chunk[256];
    const ssize_t count = ::read(output_, chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      return std::nullopt;
    }
    line.append(chunk, static_cast<std::size_t>(count));
  }
  return trimmed(line.substr(0, line.find('\n')));
}

int Process::stop(int signal, std::chrono::milliseconds limit) {
  if (pid_ <= 0) {
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }
  ::kill(pid_, signal);
  const bool ended = eventually(limit, [this] { return !running(); });
  if (!ended) {
    reap(true);
    return -1;
  }
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

// ---- The accessibility tree ------------------------------------------------------

const AccessibleNode* AccessibleNode::find(
    const std::function<bool(const AccessibleNode&)>& matches) const {
  if (matches(*this)) {
    return this;
  }
  for (const AccessibleNode& child : children) {
    if (const AccessibleNode* found = child.find(matches)) {
      return found;
    }
  }
  return nullptr;
}

std::vector<const AccessibleNode*> AccessibleNode::childrenWithRole(std::string_view wanted) const {
  std::vector<const AccessibleNode*> found;
  for (const AccessibleNode& child : children) {
    if (child.role == wanted) {
      found.push_back(&child);
    }
  }
  return found;
}

// The accessibility bus as a screen reader reads it: the registry lists the
// applications, each object answers for its name, role, states, extents and
// children.
class AccessibilityBus {
 public:
  explicit AccessibilityBus(const QString& address)
      : bus_(QDBusConnection::connectToBus(address, QStringLiteral("kelvoma-e2e-a11y"))) {}
  ~AccessibilityBus() { QDBusConnection::disconnectFromBus(QStringLiteral("kelvoma-e2e-a11y")); }

  bool connected() const { return bus_.isConnected(); }

  std::optional<AccessibleNode> application(std::string_view name) {
    const auto applications = children(QStringLiteral("org.a11y.atspi.Registry"),
                                       QStringLiteral("/org/a11y/atspi/accessible/root"));
    for (const auto& [service, path] : applications) {
      if (property(service, path, QStringLiteral("Name")) ==
          QString::fromUtf8(name.data(), name.size())) {
        return node(service, path, 0);
      }
    }
    return std::nullopt;
  }

 private:
  using Reference = std::pair<QString, QString>;  // service, object path

  QDBusMessage call(const QString& service, const QString& path, const QString& interface,
                    const QString& method, const QVariantList& arguments = {}) {
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    return bus_.call(message, QDBus::Block, kCallTimeoutMs);
  }

  static bool answered(const QDBusMessage& reply) {
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty();
  }

  QString property(const QString& service, const QString& path, const QString& name) {
    const QDBusMessage reply =
        call(service, path, QStringLiteral("org.freedesktop.DBus.Properties"),
             QStringLiteral("Get"), {QStringLiteral("org.a11y.atspi.Accessible"), name});
    return answered(reply) ? reply.arguments().front().value<QDBusVariant>().variant().toString()
                           : QString();
  }

  std::vector<Reference> children(const QString& service, const QString& path) {
    const QDBusMessage reply = call(service, path, QStringLiteral("org.a11y.atspi.Accessible"),
                                    QStringLiteral("GetChildren"));
    std::vector<Reference> found;
    if (!answered(reply)) {
      return found;
    }
    const auto argument = reply.arguments().front().value<QDBusArgument>();
    argument.beginArray();
    while (!argument.atEnd()) {
      QString childService;
      QDBusObjectPath childPath;
      argument.beginStructure();
      argument >> childService >> childPath;
      argument.endStructure();
      found.emplace_back(childService, childPath.path());
    }
    argument.endArray();
    return found;
  }

  bool enabled(const QString& service, const QString& path) {
    const QDBusMessage reply = call(service, path, QStringLiteral("org.a11y.atspi.Accessible"),
                                    QStringLiteral("GetState"));
    if (!answered(reply)) {
      return false;
    }
    const auto words = qdbus_cast<QList<uint>>(reply.arguments().front());
    return !words.isEmpty() && (words.front() & (1u << kStateEnabled)) != 0;
  }

  ScreenRect extents(const QString& service, const QString& path) {
    const QDBusMessage reply = call(service, path, QStringLiteral("org.a11y.atspi.Component"),
                                    QStringLiteral("GetExtents"), {QVariant::fromValue(0u)});
    ScreenRect rect;
    if (!answered(reply)) {
      return rect;
    }
    const auto argument = reply.arguments().front().value<QDBusArgument>();
    argument.beginStructure();
    argument >> rect.x >> rect.y >> rect.width >> rect.height;
    argument.endStructure();
    return rect;
  }

  AccessibleNode node(const QString& service, const QString& path, int depth) {
    AccessibleNode made;
    made.name = property(service, path, QStringLiteral("Name")).toStdString();
    const QDBusMessage role = call(service, path, QStringLiteral("org.a11y.atspi.Accessible"),
                                   QStringLiteral("GetRoleName"));
    made.role = answered(role) ? role.arguments().front().toString().toStdString() : "";
    made.enabled = enabled(service, path);
    made.extents = extents(service, path);
    if (depth < 16) {
      for (const auto& [childService, childPath] : children(service, path)) {
        made.children.push_back(node(childService, childPath, depth + 1));
      }
    }
    return made;
  }

  QDBusConnection bus_;
};

// ---- The session --------------------------------------------------------------

DesktopSession::DesktopSession() {
  char pattern[] = "/tmp/kelvoma-desktop-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    failure_ = "no directory for the session";
    return;
  }
  workDirectory_ = pattern;
  previousDisplay_ = environmentValue("DISPLAY");
  previousBus_ = environmentValue("DBUS_SESSION_BUS_ADDRESS");

  xvfb_ = Process::startPiped(
      // Without -noreset the server resets whenever its last client leaves,
      // and drops a client that connects just then.
      {kXvfb, "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"},
      workDirectory_ + "/xvfb.log");
  const auto number = xvfb_ ? xvfb_->readLine(20s) : std::nullopt;
  if (!number || number->empty()) {
    failure_ = "Xvfb did not start: " + kelvoma::testing::read_file(workDirectory_ + "/xvfb.log");
    return;
  }
  display_ = ":" + *number;
  setenv("DISPLAY", display_.c_str(), 1);
  unsetenv("WAYLAND_DISPLAY");
  unsetenv("QT_QPA_PLATFORM");
  // Qt's own warnings reach an application's log, shown when a test fails.
  setenv("KELVOMA_DEBUG", "1", 1);

  // Services the bus starts (the accessibility bus among them) inherit DISPLAY.
  bus_ = Process::startPiped({kDbusDaemon, "--session", "--nofork", "--print-address=1"},
                             workDirectory_ + "/bus.log");
  const auto address = bus_ ? bus_->readLine(20s) : std::nullopt;
  if (!address || address->empty()) {
    failure_ = "no session bus: " + kelvoma::testing::read_file(workDirectory_ + "/bus.log");
    return;
  }
  busAddress_ = *address;
  setenv("DBUS_SESSION_BUS_ADDRESS", busAddress_.c_str(), 1);

  // Switch accessibility on, as a screen reader does, before the application
  // starts: it then joins the accessibility bus at start-up.
  QDBusConnection session = QDBusConnection::connectToBus(QString::fromStdString(busAddress_),
                                                          QStringLiteral("kelvoma-e2e-session"));
  if (!session.isConnected()) {
    failure_ = "cannot connect to the session bus";
    return;
  }
  QDBusMessage enable = QDBusMessage::createMethodCall(
      QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
      QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Set"));
  enable.setArguments({QStringLiteral("org.a11y.Status"), QStringLiteral("IsEnabled"),
                       QVariant::fromValue(QDBusVariant(true))});
  const QDBusMessage enabled = session.call(enable, QDBus::Block, 20000);
  QDBusMessage where = QDBusMessage::createMethodCall(
      QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
      QStringLiteral("org.a11y.Bus"), QStringLiteral("GetAddress"));
  const QDBusMessage reply = session.call(where, QDBus::Block, 20000);
  QDBusConnection::disconnectFromBus(QStringLiteral("kelvoma-e2e-session"));
  if (enabled.type() != QDBusMessage::ReplyMessage || reply.type() != QDBusMessage::ReplyMessage ||
      reply.arguments().isEmpty()) {
    failure_ = "no accessibility bus (at-spi2-core): " + enabled.errorMessage().toStdString() +
               " " + reply.errorMessage().toStdString();
    return;
  }
  accessibility_ = std::make_unique<AccessibilityBus>(reply.arguments().front().toString());
  if (!accessibility_->connected()) {
    failure_ = "cannot connect to the accessibility bus";
  }
}

DesktopSession::~DesktopSession() {
  accessibility_.reset();
  // The bus first: the services it started end with it.
  if (bus_) {
    bus_->stop(SIGTERM, 5s);
  }
  if (xvfb_) {
    xvfb_->stop(SIGTERM, 5s);
  }
  restoreEnvironment("DISPLAY", previousDisplay_);
  restoreEnvironment("DBUS_SESSION_BUS_ADDRESS", previousBus_);
  if (!workDirectory_.empty()) {
    std::error_code ignored;
    fs::remove_all(workDirectory_, ignored);
  }
}

std::optional<AccessibleNode> DesktopSession::application(std::string_view name) {
  if (!accessibility_) {
    return std::nullopt;
  }
  return accessibility_->application(name);
}

std::optional<std::string> DesktopSession::run(const std::vector<std::string>& arguments) {
  const auto result = kelvoma::testing::run_program(arguments);
  if (result.exit_status == 0) {
    return std::nullopt;
  }
  return arguments.front() + " failed (" + std::to_string(result.exit_status) + "): " + result.err;
}

std::optional<std::string> DesktopSession::click(int x, int y) {
  return run({"/usr/bin/xdotool", "mousemove", "--sync", std::to_string(x), std::to_string(y),
              "click", "1"});
}

std::optional<std::string> DesktopSession::screenshot(const ScreenRect& area,
                                                      const std::string& path) {
  std::error_code ignored;
  fs::create_directories(fs::path(path).parent_path(), ignored);
  const std::string geometry = std::to_string(area.width) + "x" + std::to_string(area.height) +
                               "+" + std::to_string(area.x) + "+" + std::to_string(area.y);
  return run({"/usr/bin/import", "-window", "root", "-crop", geometry, "+repage", path});
}

bool eventually(std::chrono::milliseconds limit, const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) {
      return true;
    }
    std::this_thread::sleep_for(100ms);
  }
  return condition();
}

}  // namespace kelvoma::app::testing
