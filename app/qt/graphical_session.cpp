#include "graphical_session.h"

#include <unistd.h>

#include <QApplication>
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
    if (isSet("QT_DEBUG_PLUGINS") || isSet("KELVOMA_DEBUG")) {
      std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
    }
    return;
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

std::unique_ptr<QApplication> connectToDisplay(int& argc, char** argv) {
  const QtMessageHandler previous = qInstallMessageHandler(endOnFatal);
  auto application = std::make_unique<QApplication>(argc, argv);
  qInstallMessageHandler(previous);
  return application;
}

}  // namespace kelvoma::app::qt
