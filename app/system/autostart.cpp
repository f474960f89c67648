#include "autostart.h"

#include <filesystem>
#include <fstream>
#include <system_error>
#include <utility>

#include "exec_value.h"
#include "replaced_file.h"

namespace kelvoma::app::system {
namespace {

constexpr const char* kWriteFailed = "Položku automatického spuštění se nepodařilo zapsat.";
constexpr const char* kRemoveFailed = "Položku automatického spuštění se nepodařilo odstranit.";

}  // namespace

Autostart::Autostart(std::string entryPath, std::string executable)
    : entryPath_(std::move(entryPath)), executable_(std::move(executable)) {}

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
      program = programOfExecValue(line.substr(5));
    } else if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") {
      hidden = true;
    }
  }
  return !hidden && program == executable_ ? LoginItemStatus::enabled
                                           : LoginItemStatus::notRegistered;
}

std::expected<void, std::string> Autostart::enable() const {
  // At login it goes to the tray, as tray programs do, without its window.
  const auto exec = execValue({executable_, "--background"});
  if (!exec) {
    return std::unexpected(exec.error());
  }
  // TryExec: once the program is gone (a purged package), the session skips
  // the entry instead of failing to start it at every login.
  std::string entry = "[Desktop Entry]\nType=Application\nName=Kelvoma\nComment=Správce nástrojů\n";
  entry += "TryExec=" + escapedValue(executable_) + "\n";
  entry += "Exec=" + *exec + "\n";
  entry += "Icon=cz.tobranix.Kelvoma\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
  // Written whole beside the entry and renamed over it, so a session never
  // reads half of it, nor a power cut takes it back once it is on.
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
