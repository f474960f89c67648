#include "adoption.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "qt_settings.h"
#include "support/signing.h"
#include "update_fixture.h"
#include "user_defaults.h"

namespace kelvoma::crash {

namespace fs = std::filesystem;

bool prepare_settings(const std::string& config) {
  std::error_code error;
  fs::create_directories(config, error);
  if (error) return false;
  fixture::write_file(fs::path(config) / settings_file,
                      std::string_view("[General]\nautomaticChecks=true\nenabled." +
                                       std::string(tool_id) + "=false\n"));
  fixture::write_file(fs::path(config) / "cz.tobranix.pane-keeper.ini",
                      std::string_view("[General]\nmanagedByKelvoma=true\n"));
  return true;
}

void run_adoption(const char* home) {
  ::umask(022);
  app::qt::QtSettings settings(std::string(home) + "/" + settings_folder);
  app::UserDefaults defaults(settings);
  // As choosing a copy does: its path, then the switch as found (not running).
  defaults.setString("applicationPath." + std::string(tool_id),
                     std::string(home) + "/Nástroje/" + bundle_name);
  defaults.setBool("enabled." + std::string(tool_id), false);
  ::_exit(0);
}

Listing as_settings_read(const Listing& listing) {
  const std::string file = settings_file;
  Listing read;
  for (const auto& [path, item] : listing) {
    const bool leftover =
        path == file + ".lock" || (path.size() == file.size() + 7 && path.starts_with(file + "."));
    if (leftover) continue;
    read[path] = item.starts_with("file ") ? "file" + item.substr(item.find(' ', 5)) : item;
  }
  return read;
}

}  // namespace kelvoma::crash
