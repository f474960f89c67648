// kelvomactl: the tools managed from a terminal. Answers --help and
// --version, then runs one command over the linked core and prints its
// report as text or as one JSON object.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "core.h"
#include "ctl_options.h"
#include "qt_settings.h"
#include "terminal_session.h"
#include "user_defaults.h"

#ifndef KELVOMA_VERSION
#define KELVOMA_VERSION "0"
#endif

namespace {

using namespace kelvoma::app;
using namespace kelvoma::app::terminal;

// Standard output that a closed pipe silences instead of ending the
// program: an installation under way finishes either way.
class Output {
 public:
  explicit Output(std::FILE* stream) : stream_(stream) {}
  void write(const std::string& text) {
    if (closed_) {
      return;
    }
    if (std::fwrite(text.data(), 1, text.size(), stream_) != text.size() ||
        std::fflush(stream_) != 0) {
      closed_ = true;  // EPIPE and its kin: nobody reads any more
    }
  }

 private:
  std::FILE* stream_;
  bool closed_ = false;
};

std::string environmentFolder(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] == '/' ? std::string(value) : fallback;
}

std::string localTimeText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
  return text;
}

double uptime() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string commandField(const Options& options) {
  return options.command ? commandName(*options.command) : std::string();
}

int finish(Output& out, const Options& options, int exit, kelvoma::app::Document json,
           const std::string& text) {
  if (options.json) {
    json["schema"] = 1;
    json["command"] = commandField(options);
    json["exitCode"] = exit;
    out.write(json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
  } else {
    out.write(text);
  }
  return exit;
}

}  // namespace

int main(int argc, char** argv) {
  // A closed pipe is seen as a failed write, never as a signal.
  ::signal(SIGPIPE, SIG_IGN);
  Output out(stdout);
  Output err(stderr);
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const auto parsed = parseOptions(arguments);
  if (!parsed) {
    err.write("kelvomactl: " + parsed.error() + "\n");
    Options options;
    options.json = std::ranges::find(arguments, "--json") != arguments.end();
    return finish(out, options, Exit::usage, {{"error", parsed.error()}}, "");
  }
  const Options& options = *parsed;
  if (options.help) {
    return finish(out, options, Exit::done, {},
                  options.command ? commandHelp(*options.command) : programHelp());
  }
  if (options.version) {
    return finish(out, options, Exit::done, {{"version", KELVOMA_VERSION}},
                  std::string("kelvomactl ") + KELVOMA_VERSION + "\n");
  }
  const std::string home = environmentFolder("HOME", "");
  const std::string configDirectory = environmentFolder("XDG_CONFIG_HOME", home + "/.config");
  qt::QtSettings settings(configDirectory);
  TerminalWorld world{
      .home = home,
      .dataHome = environmentFolder("XDG_DATA_HOME", home + "/.local/share"),
      .configDirectory = configDirectory,
      .out =
          [&](const std::string& piece) {
            if (!options.json) {
              out.write(piece);
            }
          },
      .err = [&](const std::string& piece) { err.write(piece); },
      .progress = progressModeOf(options.quiet, ::isatty(STDERR_FILENO) == 1, std::getenv("TERM")),
      .uptime = uptime,
      .now = localTimeText,
  };
  TerminalSession session(linkedCore(), settings, std::move(world));
  Report report = session.run(options);
  return finish(out, options, report.exit, std::move(report.json), "");
}
