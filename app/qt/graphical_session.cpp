#include "graphical_session.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

namespace kelvoma::app::qt {
namespace {

constexpr const char* kUnreachable =
    "Kelvoma se nemůže připojit ke grafickému sezení; bez něj funguje jen "
    "kelvoma --verify-release.\n";

bool isSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

bool debugging() { return isSet("QT_DEBUG_PLUGINS") || isSet("KELVOMA_DEBUG"); }

// Standard error as it was before Qt started connecting, while it is set
// aside (else -1). A message handler is a plain function; this is how the
// fatal one finds where its line goes.
constinit std::atomic<int> setAsideStandardError{-1};

// Points standard error at /dev/null; the descriptor of the real one, or -1
// when it could not be set aside (and is left as it was).
int setStandardErrorAside() {
  const int original = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (original < 0 || null < 0 || ::dup2(null, STDERR_FILENO) < 0) {
    for (const int fd : {original, null}) {
      if (fd >= 0) {
        ::close(fd);
      }
    }
    return -1;
  }
  ::close(null);
  return original;
}

void restoreStandardError(int original) {
  if (original >= 0) {
    ::dup2(original, STDERR_FILENO);
    ::close(original);
  }
}

// Qt reads "-platform" and "--platform" alike.
bool platformArgument(int argc, char** argv) {
  const std::span<char*> arguments(argv, static_cast<std::size_t>(argc));
  for (std::size_t i = 1; i + 1 < arguments.size(); ++i) {
    const std::string_view argument = arguments[i];
    if (argument == "-platform" || argument == "--platform") {
      return true;
    }
  }
  return false;
}

// Installed only while the application is created: the one fatal message
// then is Qt finding no platform. It must not return, or Qt aborts. Qt's
// warnings on the way (which plugin it tried, which display failed) are for
// whoever debugs the setup, and only printed for them.
void endOnFatal(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type != QtFatalMsg) {
    if (debugging()) {
      std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
    }
    return;
  }
  if (const int original = setAsideStandardError.load(); original >= 0) {
    ::dup2(original, STDERR_FILENO);
  }
  std::fputs(kUnreachable, stderr);
  std::fflush(nullptr);
  _exit(1);
}

}  // namespace

std::expected<void, std::string> graphicalSessionNamed(int argc, char** argv) {
  if (isSet("DISPLAY") || isSet("WAYLAND_DISPLAY") || isSet("QT_QPA_PLATFORM") ||
      platformArgument(argc, argv)) {
    return {};
  }
  return std::unexpected(
      "Kelvoma potřebuje grafické sezení (není nastaveno DISPLAY ani WAYLAND_DISPLAY); bez "
      "něj funguje jen kelvoma --verify-release.");
}

// Libraries below Qt write to standard error themselves while it tries its
// platforms (libwayland: "error: XDG_RUNTIME_DIR is invalid or not set in
// the environment." before Qt goes on to X11), so outside debugging that is
// set aside until the application exists or the one line is printed.
std::unique_ptr<QApplication> connectToDisplay(int& argc, char** argv) {
  const int original = debugging() ? -1 : setStandardErrorAside();
  setAsideStandardError = original;
  const QtMessageHandler previous = qInstallMessageHandler(endOnFatal);
  auto application = std::make_unique<QApplication>(argc, argv);
  qInstallMessageHandler(previous);
  setAsideStandardError = -1;
  restoreStandardError(original);
  return application;
}

}  // namespace kelvoma::app::qt
