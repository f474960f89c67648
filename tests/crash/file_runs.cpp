#include "file_runs.h"

#include <filesystem>

#include "qt_settings.h"
#include "support/signing.h"
#include "system/autostart.h"
#include "update_fixture.h"
#include "user_defaults.h"

namespace kelvoma::crash {
namespace {

namespace fs = std::filesystem;

constexpr const char* settings_file = "cz.tobranix.tools-manager.ini";
constexpr const char* autostart_entry = "cz.tobranix.tools-manager.desktop";

// Whether `path` is a temporary name of `file` written whole: `before`,
// the file's name, a dot and six random characters.
bool temporary_of(const std::string& path, const std::string& file, const std::string& before) {
  const std::string stem = before + file + ".";
  return path.size() == stem.size() + 6 && path.starts_with(stem);
}

// Qt's store flushes a new file with fdatasync, which leaves the mode it
// copies from the old file unflushed: at worst the file comes back readable
// by its owner alone, so files count by their contents. Its lock (taken as
// stale by the next write, whose process is gone) and the temporary name the
// new file had before its rename (a few bytes nobody reads) do not count.
Listing settings_as_read(const Listing& listing) {
  Listing read;
  for (const auto& [path, item] : listing) {
    if (path == std::string(settings_file) + ".lock" || temporary_of(path, settings_file, "")) {
      continue;
    }
    read[path] = item.starts_with("file ") ? "file" + item.substr(item.find(' ', 5)) : item;
  }
  return read;
}

// A session starts only entries named *.desktop: the hidden temporary a cut
// may leave beside the entry is never read.
Listing entries_as_read(const Listing& listing) {
  Listing read = listing;
  std::erase_if(read,
                [](const auto& entry) { return temporary_of(entry.first, autostart_entry, "."); });
  return read;
}

void prepare_settings(const std::string& folder) {
  fixture::write_file(fs::path(folder) / settings_file,
                      std::string_view("[General]\nautomaticChecks=true\nenabled." +
                                       std::string(tool_id) + "=false\n"));
  fixture::write_file(fs::path(folder) / "cz.tobranix.pane-keeper.ini",
                      std::string_view("[General]\nmanagedByKelvoma=true\n"));
}

// As choosing a copy does: its path, then the switch as found (not running).
bool adopt(const std::string& home) {
  app::qt::QtSettings settings(home + "/" + adoption_run.folder);
  app::UserDefaults defaults(settings);
  defaults.setString("applicationPath." + std::string(tool_id), home + "/Nástroje/" + bundle_name);
  defaults.setBool("enabled." + std::string(tool_id), false);
  return true;
}

void prepare_autostart(const std::string& folder) {
  fixture::write_file(fs::path(folder) / "org.example.Clock.desktop",
                      std::string_view("[Desktop Entry]\nType=Application\nName=Clock\n"
                                       "Exec=clock\n"));
}

bool switch_login_item_on(const std::string& home) {
  const std::string entry = home + "/" + login_item_run.folder + "/" + autostart_entry;
  return app::system::Autostart(entry, "/usr/bin/kelvoma").enable().has_value();
}

}  // namespace

const FileRun adoption_run = {.name = "adoption of a copy elsewhere (the settings file)",
                              .folder = ".config",
                              .file = settings_file,
                              .argument = "--adopt",
                              .prepare = prepare_settings,
                              .child = adopt,
                              .seen = settings_as_read};
const FileRun login_item_run = {.name = "login item switched on (the autostart entry)",
                                .folder = ".config/autostart",
                                .file = autostart_entry,
                                .argument = "--login-item",
                                .prepare = prepare_autostart,
                                .child = switch_login_item_on,
                                .seen = entries_as_read};

}  // namespace kelvoma::crash
