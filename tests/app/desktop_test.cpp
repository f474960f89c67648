// A tool's desktop entry and icon, and the trash, with real files:
// desktop-file-validate reads every entry, the trash is the one a file manager
// reads.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "support/run_program.h"
#include "support/temp_dir.h"
#include "system/desktop_entry.h"
#include "system/trash.h"

namespace kelvoma::app::system {
namespace {

namespace fs = std::filesystem;
using kelvoma::testing::read_file;
using kelvoma::testing::run_program;
using kelvoma::testing::TempDir;

// The arguments an Exec value stands for, read as a desktop reads it: the
// value's escapes, then the quoting, then "%%".
std::vector<std::string> execArguments(const std::string& value) {
  std::string line;
  for (std::size_t i = 0; i < value.size(); ++i) {
    line +=
        value[i] == '\\' && i + 1 < value.size() && value[i + 1] == '\\' ? value[++i] : value[i];
  }
  std::vector<std::string> arguments(1);
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') {
      quoted = !quoted;
    } else if (quoted && line[i] == '\\') {
      arguments.back() += line[++i];
    } else if (!quoted && line[i] == ' ') {
      arguments.emplace_back();
    } else {
      arguments.back() += line[i] == '%' ? line[++i] : line[i];
    }
  }
  return arguments;
}

std::string validation(const std::string& path) {
  const auto result = run_program({"/usr/bin/desktop-file-validate", path});
  return result.out + result.err + (result.exit_status == 0 ? "" : "(failed)");
}

EntryFields fieldsFor(const std::string& program) {
  return {.id = "orbit-action-dial",
          .name = "Orbit Action Dial",
          .comment = "Kruhová nabídka \\ rychlých akcí",
          .command = {program, "--background"},
          .iconName = DesktopEntries::iconName("orbit-action-dial")};
}

const EntryIcon kSvg{.bytes = "<svg xmlns=\"http://www.w3.org/2000/svg\"/>", .svg = true};

TEST(DesktopEntryText, ExecStartsExactlyTheCommandAndValidates) {
  const char* programs[] = {
      "/home/u/Applications/Orbit.app/Contents/MacOS/Orbit",
      "/home/u/My Apps/Orbit Action Dial.app/Contents/MacOS/Orbit",
      "/home/u/\"quoted\" 'single'/O.app/Contents/MacOS/O",
      "/home/u/100% $HOME `x` a\\b/O.app/Contents/MacOS/O",
      "/home/jiří/Aplikace/Žluťoučký kůň.app/Contents/MacOS/Kůň",
  };
  TempDir home;
  for (const std::string program : programs) {
    const auto text = desktopEntryText(fieldsFor(program));
    ASSERT_TRUE(text) << program;
    const auto exec = text->find("\nExec=") + 6;
    EXPECT_EQ(execArguments(text->substr(exec, text->find('\n', exec) - exec)),
              (std::vector<std::string>{program, "--background"}));
    EXPECT_EQ(validation(home.write("cz.tobranix.kelvoma.orbit-action-dial.desktop", *text)), "")
        << program;
  }
  EXPECT_FALSE(desktopEntryText(fieldsFor("/a\nb")));
}

TEST(DesktopEntryFiles, WrittenWholeOnlyOverOurOwnAndRemovedWithTheIcon) {
  struct Case {
    const char* situation;
    std::function<void(const std::string& entry)> before;
    bool published;   // publish succeeds
    bool ours;        // the entry is then ours
    bool keptBefore;  // what was there is unchanged
  };
  const std::string foreign = "[Desktop Entry]\nType=Application\nName=Moje\nExec=moje\n";
  const Case cases[] = {
      {"nothing there", [](const std::string&) {}, true, true, false},
      {"the user's own file",
       [&](const std::string& entry) {
         fs::create_directories(fs::path(entry).parent_path());
         std::ofstream(entry) << foreign;
       },
       true, false, true},
      {"a planted link",
       [&](const std::string& entry) {
         fs::create_directories(fs::path(entry).parent_path());
         std::ofstream(entry + ".target") << foreign;
         fs::create_symlink(entry + ".target", entry);
       },
       true, true, false},
      {"a file where the folder belongs",
       [&](const std::string& entry) {
         fs::create_directories(fs::path(entry).parent_path().parent_path());
         std::ofstream(fs::path(entry).parent_path()) << foreign;
       },
       false, false, false},
  };
  for (const Case& c : cases) {
    TempDir dataHome;
    const DesktopEntries entries(dataHome.path());
    const std::string entry = entries.entryPath("orbit-action-dial");
    c.before(entry);
    EXPECT_EQ(entries.publish(fieldsFor("/opt/O.app/Contents/MacOS/O"), kSvg).has_value(),
              c.published)
        << c.situation;
    EXPECT_EQ(read_file(entry).find("X-Kelvoma-Tool=orbit-action-dial") != std::string::npos,
              c.ours)
        << c.situation;
    if (c.keptBefore) {
      EXPECT_EQ(read_file(entry), foreign) << c.situation;
    }
    if (fs::exists(entry + ".target")) {
      EXPECT_FALSE(fs::is_symlink(entry));
      EXPECT_EQ(read_file(entry + ".target"), foreign) << "written through the link";
    }
    for (const auto& each : fs::recursive_directory_iterator(dataHome.path())) {
      EXPECT_EQ(each.path().filename().string().find(".cz.tobranix"), std::string::npos)
          << c.situation << ": a temporary file stayed";
    }
    if (c.ours) {
      EXPECT_EQ(validation(entry), "");
      const auto mode = fs::status(entry).permissions();
      struct stat first {};
      stat(entry.c_str(), &first);
      ASSERT_TRUE(entries.publish(fieldsFor("/opt/O.app/Contents/MacOS/O"), kSvg));
      struct stat again {};
      stat(entry.c_str(), &again);
      EXPECT_EQ(first.st_ino, again.st_ino) << "rewritten without a change";
      EXPECT_EQ(mode, fs::perms(0644));
    }
    const std::string icon = dataHome.file("icons/hicolor/scalable/apps/" +
                                           DesktopEntries::iconName("orbit-action-dial") + ".svg");
    EXPECT_EQ(fs::exists(icon), c.ours) << c.situation;
    EXPECT_EQ(entries.withdraw("orbit-action-dial").has_value(), c.published) << c.situation;
    EXPECT_FALSE(fs::exists(icon));
    EXPECT_EQ(fs::exists(entry), c.keptBefore) << c.situation;
  }
}

TEST(DesktopEntryFiles, AFullDiskLeavesTheEarlierEntryWhole) {
  TempDir dataHome;
  const DesktopEntries entries(dataHome.path());
  ASSERT_TRUE(entries.publish(fieldsFor("/opt/O.app/Contents/MacOS/O"), kSvg));
  const std::string before = read_file(entries.entryPath("orbit-action-dial"));
  const auto previous = signal(SIGXFSZ, SIG_IGN);
  rlimit limit{};
  getrlimit(RLIMIT_FSIZE, &limit);
  const rlimit small{.rlim_cur = 64, .rlim_max = limit.rlim_max};
  setrlimit(RLIMIT_FSIZE, &small);
  const auto result = entries.publish(fieldsFor("/opt/Jiná.app/Contents/MacOS/O"), kSvg);
  setrlimit(RLIMIT_FSIZE, &limit);
  signal(SIGXFSZ, previous);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "Položku v nabídce aplikací se nepodařilo zapsat.");
  EXPECT_EQ(read_file(entries.entryPath("orbit-action-dial")), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(dataHome.file("applications")), {}), 1);
}

TEST(BundleIcons, OnlyAnImageReachedWithoutALink) {
  const std::string png = std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x40\0\0\0\x40", 24);
  struct Case {
    const char* situation;
    std::function<void(const fs::path& resources)> make;
    bool found;
  };
  const Case cases[] = {
      {"a PNG", [&](const fs::path& r) { std::ofstream(r / "Icon.png") << png; }, true},
      {"an SVG", [&](const fs::path& r) { std::ofstream(r / "Icon.svg") << kSvg.bytes; }, true},
      {"a link to an image",
       [&](const fs::path& r) {
         std::ofstream(r / "real.png") << png;
         fs::create_symlink(r / "real.png", r / "Icon.png");
       },
       false},
      {"not an image", [](const fs::path& r) { std::ofstream(r / "Icon.png") << "text"; }, false},
      {"huge",
       [&](const fs::path& r) {
         std::ofstream(r / "Icon.png") << png << std::string(5 << 20, 'x');
       },
       false},
  };
  for (const Case& c : cases) {
    TempDir bundle;
    const fs::path resources = fs::path(bundle.path()) / "Contents/Resources";
    fs::create_directories(resources);
    c.make(resources);
    EXPECT_EQ(bundleIcon(bundle.path(), "Icon").has_value(), c.found) << c.situation;
  }
  TempDir dataHome;
  ASSERT_TRUE(DesktopEntries(dataHome.path())
                  .publish(fieldsFor("/opt/O.app/Contents/MacOS/O"), {.bytes = png, .svg = false}));
  EXPECT_TRUE(fs::exists(
      dataHome.file("icons/hicolor/64x64/apps/cz.tobranix.kelvoma.orbit-action-dial.png")));
}

// ---- The trash --------------------------------------------------------------------

TEST(Trash, TheBundleGoesWithItsRecordAndComesBack) {
  TempDir home;
  const TrashPlaces places{.dataHome = home.file(".local/share"), .uid = getuid()};
  const std::string bundle =
      home.write("Applications/Orbit Action Dial.app/Contents/Info.plist", "x");
  const std::string path = home.file("Applications/Orbit Action Dial.app");
  const auto first = moveToTrash(path, places);
  ASSERT_TRUE(first) << first.error();
  EXPECT_EQ(first->trashedPath, places.dataHome + "/Trash/files/Orbit Action Dial.app");
  EXPECT_EQ(read_file(first->trashedPath + "/Contents/Info.plist"), "x");
  const std::string record = read_file(first->infoPath);
  EXPECT_EQ(first->infoPath, places.dataHome + "/Trash/info/Orbit Action Dial.app.trashinfo");
  EXPECT_TRUE(record.starts_with("[Trash Info]\nPath=" + home.path() +
                                 "/Applications/Orbit%20Action%20Dial.app\nDeletionDate=20"))
      << record;

  home.write("Applications/Orbit Action Dial.app/Contents/Info.plist", "y");
  const auto second = moveToTrash(path, places);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->trashedPath, places.dataHome + "/Trash/files/Orbit Action Dial.app.2");

  home.write("Applications/Orbit Action Dial.app/Contents/Info.plist", "z");
  EXPECT_EQ(putBack(*first).error(), "Na původním místě aplikace teď něco je. Zůstala v koši.");
  fs::remove_all(path);
  ASSERT_TRUE(putBack(*first));
  EXPECT_EQ(read_file(bundle), "x");
  EXPECT_FALSE(fs::exists(first->infoPath));
}

TEST(Trash, NoTrashThatCanTakeItLeavesTheBundleInPlace) {
  TempDir home;
  const std::string path = home.file("Applications/O.app");
  home.write("Applications/O.app/Contents/Info.plist", "x");
  home.write(".local/share/Trash", "a file where the trash belongs");
  const auto refused = moveToTrash(path, {.dataHome = home.file(".local/share"), .uid = getuid()});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(),
            "Koš na disku s aplikací není k dispozici. Aplikace zůstala na svém místě.");
  EXPECT_EQ(read_file(path + "/Contents/Info.plist"), "x");
}

// A bundle on another file system goes to that file system's own trash, or
// stays; it is never copied across.
TEST(Trash, AnotherFileSystemUsesItsOwnTrash) {
  TempDir home;
  struct stat homeStatus {};
  struct stat shmStatus {};
  if (stat(home.path().c_str(), &homeStatus) != 0 || stat("/dev/shm", &shmStatus) != 0 ||
      homeStatus.st_dev == shmStatus.st_dev || access("/dev/shm", W_OK) != 0) {
    GTEST_SKIP() << "no second file system to try";
  }
  std::string pattern = "/dev/shm/kelvoma-trash-XXXXXX";
  const fs::path other = mkdtemp(pattern.data());
  fs::create_directories(other / "O.app");
  const auto moved = moveToTrash((other / "O.app").string(),
                                 {.dataHome = home.file(".local/share"), .uid = getuid()});
  ASSERT_TRUE(moved) << moved.error();
  const std::string trash = "/dev/shm/.Trash-" + std::to_string(getuid());
  EXPECT_TRUE(moved->trashedPath.starts_with(trash + "/files/"));
  EXPECT_TRUE(fs::is_directory(moved->trashedPath));
  EXPECT_NE(read_file(moved->infoPath).find("\nPath=" + other.filename().string() + "/O.app\n"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(home.file(".local/share/Trash/files/O.app")));
  ASSERT_TRUE(putBack(*moved));
  fs::remove_all(other);
  std::error_code ignored;  // the trash only when it was ours alone
  for (const std::string& folder : {trash + "/files", trash + "/info", trash}) {
    fs::remove(folder, ignored);
  }
}

}  // namespace
}  // namespace kelvoma::app::system
