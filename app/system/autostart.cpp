#include "autostart.h"

#include <filesystem>
#include <fstream>
#include <system_error>
#include <utility>

#include "replaced_file.h"

namespace kelvoma::app::system {
namespace {

constexpr const char* kWriteFailed = "Položku automatického spuštění se nepodařilo zapsat.";
constexpr const char* kRemoveFailed = "Položku automatického spuštění se nepodařilo odstranit.";

}  // namespace

Autostart::Autostart(std::string entryPath, std::string executable)
    : entryPath_(std::move(entryPath)), executable_(std::move(executable)) {}

std::string programOfExecLine(const std::string& exec) {
  std::string program;
  std::size_t at = 0;
  while (at < exec.size() && exec[at] == ' ') {
    ++at;
  }
  if (at < exec.size() && exec[at] == '"') {
    for (++at; at < exec.size() && exec[at] != '"'; ++at) {
      if (exec[at] == '\\' && at + 1 < exec.size()) {
        ++at;
      }
      program += exec[at];
    }
    return program;
  }
  while (at < exec.size() && exec[at] != ' ') {
    program += exec[at++];
  }
  return program;
}

std::string quotedExecArgument(const std::string& program) {
  std::string quoted = "\"";
  for (const char c : program) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') {
      quoted += '\\';
    }
    quoted += c;
  }
  return quoted + "\"";
}

LoginItemStatus Autostart::status() const {
  std::ifstream entry(entryPath_);
  if (!entry) {
    return LoginItemStatus::notRegistered;
  }
  std::string line;
  bool hidden = false;
  std::string program;
  while (std::getline(entry, line)) {
    if (line.starts_with("Exec=")) {
      program = programOfExecLine(line.substr(5));
    } else if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") {
      hidden = true;
    }
  }
  return !hidden && program == executable_ ? LoginItemStatus::enabled
                                           : LoginItemStatus::notRegistered;
}

std::expected<void, std::string> Autostart::enable() const {
  // Written whole beside the entry and renamed over it, so a session never
  // reads half of it, nor a power cut takes it back once it is on.
  const std::string entry =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=Kelvoma\n"
      "Comment=Správce nástrojů\n"
      "Exec=" +
      quotedExecArgument(executable_) +
      // At login it goes to the tray, as tray programs do, without its window.
      " --background\n"
      "Icon=cz.tobranix.Kelvoma\n"
      "Terminal=false\n"
      "X-GNOME-Autostart-enabled=true\n";
  if (!replaceFile(entryPath_, entry)) {
    return std::unexpected(kWriteFailed);
  }
  return {};
}

std::expected<void, std::string> Autostart::disable() const {
  std::error_code error;
  std::filesystem::remove(entryPath_, error);
  if (error) {
    return std::unexpected(kRemoveFailed);
  }
  flushFolder(std::filesystem::path(entryPath_).parent_path().string());
  return {};
}

}  // namespace kelvoma::app::system
