#include "process_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <map>
#include <memory>

#include "property_list.h"

namespace kelvoma::app::system {
namespace {

constexpr std::string_view kMacOS = "/Contents/MacOS/";

struct DirClose {
  void operator()(DIR* directory) const { closedir(directory); }
};

std::optional<int> pidOf(const char* name) {
  int pid = 0;
  const char* end = name + std::char_traits<char>::length(name);
  const auto [at, error] = std::from_chars(name, end, pid);
  if (error != std::errc() || at != end || pid <= 0) {
    return std::nullopt;
  }
  return pid;
}

std::optional<std::string> executableOf(const std::string& procRoot, int pid) {
  const std::string link = procRoot + "/" + std::to_string(pid) + "/exe";
  char target[4096];
  const ssize_t length = readlink(link.c_str(), target, sizeof target);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) {
    return std::nullopt;
  }
  return std::string(target, static_cast<std::size_t>(length));
}

std::optional<std::string> readSmallFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return std::nullopt;
  }
  std::string text;
  char buffer[1024];
  ssize_t got = 0;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  close(fd);
  if (got < 0) {
    return std::nullopt;
  }
  return text;
}

}  // namespace

std::optional<std::string> bundlePathOfExecutable(std::string_view executable) {
  const auto at = executable.rfind(kMacOS);
  if (at == std::string_view::npos || at < 4) {
    return std::nullopt;
  }
  const std::string_view bundle = executable.substr(0, at);
  const std::string_view file = executable.substr(at + kMacOS.size());
  if (!bundle.ends_with(".app") || file.empty() || file.find('/') != std::string_view::npos) {
    return std::nullopt;
  }
  return std::string(bundle);
}

std::optional<ProcessStat> readProcessStat(const std::string& procRoot, int pid) {
  const auto text = readSmallFile(procRoot + "/" + std::to_string(pid) + "/stat");
  if (!text) {
    return std::nullopt;
  }
  // The command name may hold spaces and parentheses; fields follow the last ')'.
  const auto close = text->rfind(')');
  if (close == std::string::npos || close + 2 >= text->size()) {
    return std::nullopt;
  }
  ProcessStat stat;
  stat.state = (*text)[close + 2];
  // Field 3 is the state; the start time is field 22.
  std::size_t at = close + 2;
  for (int field = 3; field < 22; ++field) {
    at = text->find(' ', at);
    if (at == std::string::npos) {
      return std::nullopt;
    }
    ++at;
  }
  const char* begin = text->data() + at;
  const char* end = text->data() + text->size();
  if (std::from_chars(begin, end, stat.startTime).ec != std::errc()) {
    return std::nullopt;
  }
  return stat;
}

std::vector<RunningApplication> runningApplications(const std::string& procRoot) {
  std::vector<RunningApplication> found;
  const std::unique_ptr<DIR, DirClose> directory(opendir(procRoot.c_str()));
  if (!directory) {
    return found;
  }
  // Several processes of one bundle share its identifier: read each plist once.
  std::map<std::string, std::string> identifiers;
  while (const dirent* entry = readdir(directory.get())) {
    const auto pid = pidOf(entry->d_name);
    if (!pid) {
      continue;
    }
    const auto executable = executableOf(procRoot, *pid);
    if (!executable || executable->find(kMacOS) == std::string::npos) {
      continue;
    }
    auto bundle = bundlePathOfExecutable(*executable);
    const auto stat = readProcessStat(procRoot, *pid);
    if (!bundle || !stat || stat->state == 'Z' || stat->state == 'X') {
      continue;
    }
    auto [known, inserted] = identifiers.try_emplace(*bundle);
    if (inserted) {
      const auto info = readPropertyList(*bundle + "/Contents/Info.plist");
      known->second = info ? textOf(*info, "CFBundleIdentifier").value_or("") : "";
    }
    found.push_back({.pid = *pid,
                     .startTime = stat->startTime,
                     .bundleIdentifier = known->second,
                     .bundlePath = std::move(*bundle)});
  }
  return found;
}

bool isTerminated(const RunningApplication& application, const std::string& procRoot) {
  const auto stat = readProcessStat(procRoot, application.pid);
  return !stat || stat->startTime != application.startTime || stat->state == 'Z' ||
         stat->state == 'X';
}

void terminate(const RunningApplication& application, const std::string& procRoot) {
  if (!isTerminated(application, procRoot)) {
    kill(application.pid, SIGTERM);
  }
}

}  // namespace kelvoma::app::system
