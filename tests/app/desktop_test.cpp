// A tool's desktop entry and icon, and the trash, with real files;
// desktop-file-validate reads every entry written.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
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
using kelvoma::testing::TempDir;

// The arguments of an Exec value as a desktop reads them: the value's
// escapes, then the quoting, then "%%".
std::vector<std::string> execArguments(const std::string& value) {
  std::string line;
  for (std::size_t i = 0; i < value.size(); ++i) {
    line += value[i] == '\\' && value[i + 1] == '\\' ? value[++i] : value[i];
  }
  std::vector<std::string> arguments(1);
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') {
      quoted = !quoted;
    } else if (!quoted && line[i] == ' ') {
      arguments.emplace_back();
    } else {
      arguments.back() += (quoted && line[i] == '\\') || line[i] == '%' ? line[++i] : line[i];
    }
  }
  return arguments;
}

std::string validation(const std::string& path) {
  const auto result = kelvoma::testing::run_program({"/usr/bin/desktop-file-validate", path});
  return result.out + result.err + (result.exit_status == 0 ? "" : "(failed)");
}

EntryFields fieldsFor(const std::string& program) {
  return {.id = "orbit-dial",
          .name = "Orbit\u202e Action\nDial\x07\xff",  // one line, no override, UTF-8
          .comment = "Kruhová nabídka \\ rychlých akcí",
          .command = {program, "--background"},
          .iconName = DesktopEntries::iconName("orbit-dial")};
}

// A program that writes how it was started to $KELVOMA_LAUNCH_LOG.
constexpr const char* kLoggingProgram =
    "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > \"$KELVOMA_LAUNCH_LOG.new\"\n"
    "mv \"$KELVOMA_LAUNCH_LOG.new\" \"$KELVOMA_LAUNCH_LOG\"\n";

// What the program at that entry wrote when GLib's launcher started it.
std::string launchedBy(const std::string& entry, const std::string& log) {
  const auto launched = kelvoma::testing::run_program(
      {"/usr/bin/gio", "launch", entry},
      {"KELVOMA_LAUNCH_LOG=" + log, "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent"});
  for (int wait = 0; wait < 200 && launched.exit_status == 0 && !fs::exists(log); ++wait) {
    usleep(50'000);  // started detached: it may still be on its way
  }
  return launched.exit_status == 0 ? read_file(log) : launched.err;
}

const EntryIcon kSvg{.bytes = "<svg xmlns=\"http://www.w3.org/2000/svg\"/>", .svg = true};
const std::string kPng("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x40\0\0\0\x40", 24);

TEST(DesktopEntryText, ExecStartsExactlyTheCommandAndValidates) {
  TempDir home;
  for (const std::string place :
       {"Applications/O.app", "My Apps/Orbit Action Dial.app", "\"quoted\" 'single'/O.app",
        "100% $HOME `x` a\\b/O.app", "jiří/Žluťoučký kůň.app"}) {
    const std::string program = home.write(place + "/Contents/MacOS/O", kLoggingProgram);
    fs::permissions(program, fs::perms::owner_all);
    const auto text = desktopEntryText(fieldsFor(program));
    ASSERT_TRUE(text) << program;
    EXPECT_NE(text->find("\nName=Orbit Action Dial\uFFFD\n"), std::string::npos) << *text;
    const auto exec = text->find("\nExec=") + 6;
    std::vector<std::string> expected{program, "--background"};
    if (program.find('%') != std::string::npos) {
      expected.insert(expected.begin(), "/usr/bin/env");  // GLib looks it up before "%%"
    }
    EXPECT_EQ(execArguments(text->substr(exec, text->find('\n', exec) - exec)), expected);
    const std::string entry = home.write("cz.tobranix.kelvoma.orbit_dial.desktop", *text);
    EXPECT_EQ(validation(entry), "") << program;
    EXPECT_EQ(launchedBy(entry, home.file("launched")), program + "\n--background\n");
    fs::remove(home.file("launched"));
  }
  for (const char* refused : {"/a\nb", "/opt/a=50%/O.app/Contents/MacOS/O"}) {
    EXPECT_EQ(desktopEntryText(fieldsFor(refused)).error(),
              "Cesta k programu obsahuje znaky, se kterými ho pracovní prostředí nespustí.");
  }
}

TEST(DesktopEntryFiles, WrittenWholeOnlyOverOurOwnAndRemovedWithTheIcon) {
  const std::string foreign = "[Desktop Entry]\nType=Application\nName=Moje\nExec=moje\n";
  struct Case {
    const char* situation;
    std::function<void(const fs::path& entry)> before;
    bool ours;  // then the entry is Kelvoma's; otherwise what was there stays
  };
  const Case cases[] = {
      {"nothing there", [](const fs::path&) {}, true},
      {"the user's own file", [&](const fs::path& entry) { std::ofstream(entry) << foreign; },
       false},
      {"a planted link",
       [&](const fs::path& entry) {
         std::ofstream(entry.string() + ".target") << foreign;
         fs::create_symlink(entry.string() + ".target", entry);
       },
       true},
      {"Kelvoma's entry under its old name",
       [&](const fs::path& entry) {
         std::ofstream(entry.parent_path() / "cz.tobranix.kelvoma.orbit-dial.desktop")
             << foreign << "X-Kelvoma-Tool=orbit-dial\n";
       },
       true},
      {"the user's file under the old name",
       [&](const fs::path& entry) {
         std::ofstream(entry.parent_path() / "cz.tobranix.kelvoma.orbit-dial.desktop") << foreign;
       },
       true},
      {"a file where the folder belongs (read-only)",
       [&](const fs::path& entry) {
         fs::remove(entry.parent_path());
         std::ofstream(entry.parent_path()) << foreign;
       },
       false},
  };
  for (const Case& c : cases) {
    TempDir dataHome;
    const DesktopEntries entries(dataHome.path());
    const fs::path entry = entries.entryPath("orbit-dial");
    const fs::path icon =
        dataHome.file("icons/hicolor/scalable/apps/cz.tobranix.kelvoma.orbit_dial.svg");
    fs::create_directories(entry.parent_path());
    c.before(entry);
    const std::string was = read_file(entry);
    const fs::path oldName = entry.parent_path() / "cz.tobranix.kelvoma.orbit-dial.desktop";
    const std::string oldIcon =
        dataHome.file("icons/hicolor/48x48/apps/cz.tobranix.kelvoma.orbit-dial.png");
    if (fs::exists(oldName)) {
      dataHome.write("icons/hicolor/48x48/apps/cz.tobranix.kelvoma.orbit-dial.png", kPng);
    }
    entries.removeRenamedEntries();
    EXPECT_EQ(fs::exists(oldName), fs::exists(oldIcon)) << c.situation;
    EXPECT_EQ(read_file(oldName).find("X-Kelvoma-Tool"), std::string::npos) << c.situation;
    entries.publish(fieldsFor("/opt/O.app/Contents/MacOS/O"), kSvg);
    EXPECT_EQ(read_file(entry).find("X-Kelvoma-Tool=orbit-dial\n") != std::string::npos, c.ours)
        << c.situation;
    EXPECT_EQ(fs::exists(icon), c.ours) << c.situation;
    EXPECT_EQ(read_file(entry.string() + ".target"),
              fs::exists(entry.string() + ".target") ? foreign : "");
    for (const auto& each : fs::recursive_directory_iterator(dataHome.path())) {
      EXPECT_FALSE(each.path().filename().string().starts_with(".cz")) << "a temporary file stayed";
    }
    if (c.ours) {
      EXPECT_EQ(validation(entry), "");
      struct stat first {
      }, again{};
      stat(entry.c_str(), &first);
      ASSERT_TRUE(entries.publish(fieldsFor("/opt/O.app/Contents/MacOS/O"), kSvg));
      stat(entry.c_str(), &again);
      EXPECT_EQ(first.st_ino, again.st_ino) << "rewritten without a change";
      EXPECT_EQ(first.st_mode & 0777, 0644u);
    } else {
      EXPECT_EQ(read_file(entry), was) << c.situation;
    }
    entries.withdraw("orbit-dial");
    EXPECT_FALSE(fs::exists(icon));
    EXPECT_EQ(read_file(entry), c.ours ? "" : was) << c.situation;
  }
}

TEST(DesktopEntryFiles, AFullDiskLeavesTheEarlierEntryWhole) {
  TempDir dataHome;
  const DesktopEntries entries(dataHome.path());
  ASSERT_TRUE(entries.publish(fieldsFor("/opt/O.app/Contents/MacOS/O"), kSvg));
  const std::string before = read_file(entries.entryPath("orbit-dial"));
  const auto previous = signal(SIGXFSZ, SIG_IGN);
  rlimit limit{};
  getrlimit(RLIMIT_FSIZE, &limit);
  const rlimit small{.rlim_cur = 64, .rlim_max = limit.rlim_max};
  setrlimit(RLIMIT_FSIZE, &small);
  const auto result =
      entries.publish(fieldsFor("/opt/Jiná.app/Contents/MacOS/O"), {.bytes = kPng, .svg = false});
  setrlimit(RLIMIT_FSIZE, &limit);
  signal(SIGXFSZ, previous);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "Položku v nabídce aplikací se nepodařilo zapsat.");
  EXPECT_EQ(read_file(entries.entryPath("orbit-dial")), before);
  EXPECT_TRUE(
      fs::exists(dataHome.file("icons/hicolor/scalable/apps/cz.tobranix.kelvoma.orbit_dial.svg")))
      << "the earlier icon went before the new entry was written";
  EXPECT_EQ(std::distance(fs::directory_iterator(dataHome.file("applications")), {}), 1);
}

TEST(BundleIcons, OnlyAnImageReachedWithoutALink) {
  const std::pair<const char*, std::function<void(const fs::path&)>> cases[] = {
      {"png", [](const fs::path& r) { std::ofstream(r / "Icon.png") << kPng; }},
      {"svg", [](const fs::path& r) { std::ofstream(r / "Icon.svg") << kSvg.bytes; }},
      {"", [](const fs::path& r) { fs::create_symlink(r / "Icon.svg", r / "Icon.png"); }},
      {"", [](const fs::path& r) { std::ofstream(r / "Icon.png") << "text"; }},
      {"",
       [](const fs::path& r) { std::ofstream(r / "Icon.png") << kPng << std::string(5 << 20, 0); }},
  };
  for (const auto& [found, make] : cases) {
    TempDir bundle;
    fs::create_directories(bundle.file("Contents/Resources"));
    make(bundle.file("Contents/Resources"));
    const auto icon = bundleIcon(bundle.path(), "Icon");
    EXPECT_EQ(icon ? (icon->svg ? "svg" : "png") : "", std::string(found));
  }
  TempDir dataHome;
  ASSERT_TRUE(
      DesktopEntries(dataHome.path())
          .publish(fieldsFor("/opt/O.app/Contents/MacOS/O"), {.bytes = kPng, .svg = false}));
  EXPECT_TRUE(
      fs::exists(dataHome.file("icons/hicolor/64x64/apps/cz.tobranix.kelvoma.orbit_dial.png")));
}

// ---- The trash --------------------------------------------------------------------

TEST(Trash, TheBundleGoesWithItsRecordAndComesBack) {
  TempDir home;
  const TrashPlaces places{.dataHome = home.file(".local/share"), .uid = getuid()};
  const std::string path = home.file("Applications/Orbit Action Dial.app");
  home.write("Applications/Orbit Action Dial.app/Contents/Info.plist", "x");
  const auto first = moveToTrash(path, places);
  ASSERT_TRUE(first) << first.error();
  EXPECT_EQ(first->trashedPath, places.dataHome + "/Trash/files/Orbit Action Dial.app");
  EXPECT_EQ(read_file(first->trashedPath + "/Contents/Info.plist"), "x");
  EXPECT_EQ(first->infoPath, places.dataHome + "/Trash/info/Orbit Action Dial.app.trashinfo");
  EXPECT_TRUE(read_file(first->infoPath)
                  .starts_with("[Trash Info]\nPath=" + home.path() +
                               "/Applications/Orbit%20Action%20Dial.app\nDeletionDate=20"));

  home.write("Applications/Orbit Action Dial.app/Contents/Info.plist", "y");
  EXPECT_EQ(moveToTrash(path, places)->trashedPath, first->trashedPath + ".2");
  home.write("Applications/Orbit Action Dial.app/Contents/Info.plist", "z");
  EXPECT_EQ(putBack(*first).error(), "Na původním místě aplikace teď něco je. Zůstala v koši.");
  fs::remove_all(path);
  ASSERT_TRUE(putBack(*first));
  EXPECT_EQ(read_file(path + "/Contents/Info.plist"), "x");
  EXPECT_FALSE(fs::exists(first->infoPath));
  fs::rename(path, home.file("elsewhere"));
  EXPECT_EQ(putBack(*first).error(), "Aplikace už v koši není.");  // emptied meanwhile
  // Another folder trashed under the same name is not taken for the bundle.
  home.write(".local/share/Trash/files/Orbit Action Dial.app/Contents/Info.plist", "other");
  home.write(".local/share/Trash/info/Orbit Action Dial.app.trashinfo", "its record");
  EXPECT_EQ(putBack(*first).error(), "Aplikace už v koši není.");
  EXPECT_EQ(read_file(first->infoPath), "its record");
  fs::remove_all(first->trashedPath);
  fs::rename(home.file("elsewhere"), path);

  fs::remove_all(places.dataHome + "/Trash");
  home.write(".local/share/Trash", "a file where the trash belongs");
  EXPECT_EQ(moveToTrash(path, places).error(),
            "Koš na disku s aplikací není k dispozici. Aplikace zůstala na svém místě.");
  EXPECT_EQ(read_file(path + "/Contents/Info.plist"), "x");
}

// A bundle in a folder that a link in the home leads to, on another file
// system (a tmpfs mounted in this test's own mount namespace), goes to the
// trash at the top of that file system, never into the linked folder nor
// copied across; a shared trash is used only as the freedesktop rules allow.
TEST(Trash, AnotherFileSystemUsesTheTrashAtItsTop) {
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    GTEST_SKIP() << "no mount namespace of our own (needs root)";
  }
  const std::string uid = std::to_string(getuid());
  const auto stickyTrash = [](const fs::path& top) {
    fs::create_directory(top / ".Trash");
    chmod((top / ".Trash").c_str(), 01777);
  };
  struct Case {
    const char* situation;
    std::function<void(const fs::path& top)> prepare;
    std::string trash;  // below the top; empty: refused, the bundle stays
  };
  const Case cases[] = {
      {.situation = "nothing there yet",
       .prepare = [](const fs::path&) {},
       .trash = ".Trash-" + uid},
      {.situation = "a shared sticky .Trash", .prepare = stickyTrash, .trash = ".Trash/" + uid},
      {.situation = "a .Trash that is not sticky",
       .prepare = [](const fs::path& top) { fs::create_directory(top / ".Trash"); },
       .trash = ".Trash-" + uid},
      {.situation = "a .Trash that is a link to a sticky folder",
       .prepare =
           [&](const fs::path& top) {
             fs::create_directory(top / "elsewhere");
             stickyTrash(top / "elsewhere");
             fs::create_directory_symlink(top / "elsewhere/.Trash", top / ".Trash");
           },
       .trash = ".Trash-" + uid},
      {.situation = "a $uid folder of another user in .Trash",
       .prepare =
           [&](const fs::path& top) {
             stickyTrash(top);
             fs::create_directory(top / ".Trash" / uid);
             ASSERT_EQ(chown((top / ".Trash" / uid).c_str(), 4242, 4242), 0);
           },
       .trash = ".Trash-" + uid},
      {.situation = "a .Trash-$uid that is a link",
       .prepare =
           [&](const fs::path& top) {
             fs::create_directory(top / "elsewhere");
             fs::create_directory_symlink(top / "elsewhere", top / (".Trash-" + uid));
           },
       .trash = ""},
  };
  for (const Case& c : cases) {
    TempDir home, disk;
    ASSERT_EQ(mount("kelvoma-test", disk.path().c_str(), "tmpfs", 0, "mode=0755"), 0);
    c.prepare(disk.path());
    fs::create_directories(disk.file("apps/O.app/Contents"));
    fs::create_directory_symlink(disk.file("apps"), home.file("Applications"));
    const std::string path = home.file("Applications/O.app");
    const auto moved = moveToTrash(path, {.dataHome = home.file(".local/share"), .uid = getuid()});
    if (c.trash.empty()) {
      EXPECT_EQ(moved.error(),
                "Koš na disku s aplikací není k dispozici. Aplikace zůstala na svém místě.");
    } else {
      ASSERT_TRUE(moved) << c.situation << ": " << moved.error();
      EXPECT_EQ(moved->trashedPath, disk.file(c.trash + "/files/O.app")) << c.situation;
      EXPECT_TRUE(fs::is_directory(moved->trashedPath + "/Contents"));
      EXPECT_NE(read_file(moved->infoPath).find("\nPath=apps/O.app\n"), std::string::npos);
      ASSERT_TRUE(putBack(*moved));
    }
    EXPECT_TRUE(fs::is_directory(path + "/Contents")) << c.situation;
    umount2(disk.path().c_str(), MNT_DETACH);
  }
}

}  // namespace
}  // namespace kelvoma::app::system
