// Unpacking: what a publisher's archive keeps, and hostile archives whose
// entries would land outside the destination.
#include "install/unpack/unpack.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "install/install_helpers.h"
#include "support/fixture_bundle.h"
#include "support/run_program.h"
#include "support/signing.h"
#include "support/temp_dir.h"
#include "verify/util/unique_fd.h"

namespace kelvoma {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view refused = "Balíček nelze rozbalit.";
constexpr int file_mode = S_IFREG | 0644;
constexpr int link_mode = S_IFLNK | 0777;
constexpr int directory_mode = S_IFDIR | 0755;

// One zip entry as python's zipfile writes it; `unicode_path` adds an
// Info-ZIP Unicode path field. A DEL (0x7f) in a name is stored as NUL, and
// a 0x01 as 0xff, in the central directory and the local header alike.
struct Entry {
  Entry(std::string name_, std::string data_, int mode_ = file_mode,
        std::optional<std::string> unicode_path_ = std::nullopt)
      : name(std::move(name_)),
        data(std::move(data_)),
        mode(mode_),
        unicode_path(std::move(unicode_path_)) {}
  std::string name;
  std::string data;
  int mode;
  std::optional<std::string> unicode_path;
};

struct ZipOptions {
  bool zip64 = false;  // zip64 end records and offsets, whatever the size
  std::string comment;
  int copies = 1;  // more: each entry again below "<i % 50>/<i>/", folders not listed
};
const ZipOptions plain_zip{false, ""};
const ZipOptions zip64{true, ""};

constexpr std::string_view zip_script = R"PY(
import json, sys, zipfile, zlib
archive, spec = sys.argv[1], json.loads(sys.argv[2])
if spec['zip64']:
    zipfile.ZIP64_LIMIT = 1
    zipfile.ZIP_FILECOUNT_LIMIT = 1
copies = spec['copies']
def names(e):
    if copies == 1:
        return [e['name']]
    return ['%d/%d/%s' % (i % 50, i, e['name']) for i in range(copies)]
with zipfile.ZipFile(archive, 'w', zipfile.ZIP_DEFLATED) as z:
    for e, name in ((e, name) for e in spec['entries'] for name in names(e)):
        info = zipfile.ZipInfo(name)
        info.create_system = 3
        info.external_attr = e['mode'] << 16
        if e.get('unicode_path') is not None:
            upath = e['unicode_path'].encode()
            info.extra = (0x7075).to_bytes(2, 'little') + (5 + len(upath)).to_bytes(2, 'little') \
                + b'\x01' + zlib.crc32(e['name'].encode()).to_bytes(4, 'little') + upath
        z.writestr(info, e['data'].encode())
    z.comment = spec['comment'].encode()
raw = open(archive, 'rb').read()
for e in spec['entries']:
    name = e['name'].encode()
    raw = raw.replace(name, name.replace(b'\x7f', b'\x00').replace(b'\x01', b'\xff'))
open(archive, 'wb').write(raw)
)PY";

void write_zip(const std::string& archive, const std::vector<Entry>& entries,
               const ZipOptions& options = plain_zip) {
  nlohmann::json spec = {
      {"zip64", options.zip64}, {"comment", options.comment}, {"copies", options.copies}};
  spec["entries"] = nlohmann::json::array();
  for (const Entry& e : entries) {
    nlohmann::json entry = {{"name", e.name}, {"data", e.data}, {"mode", e.mode}};
    if (e.unicode_path) entry["unicode_path"] = *e.unicode_path;
    spec["entries"].push_back(entry);
  }
  const auto result = testing::run_program(
      {"/usr/bin/python3", "-c", std::string(zip_script), archive, spec.dump()});
  ASSERT_EQ(result.exit_status, 0) << result.err;
}

// Unpacking reads the archive through a descriptor, as the pipeline hands it over.
std::expected<void, std::string> unpack_file(const std::string& archive,
                                             const std::string& destination) {
  const UniqueFd fd(::open(archive.c_str(), O_RDONLY | O_CLOEXEC));
  return unpack_archive(fd.get(), destination);
}

class UnpackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(work_);
    fs::create_directories(outside_dir_);
  }

  std::expected<void, std::string> unpack(const std::string& archive) {
    return unpack_file(archive, unpacked_);
  }

  // Nothing was written outside the destination.
  void expect_nothing_outside() {
    EXPECT_EQ(install_testing::tree(outside_dir_), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists("/evil-from-kelvoma-test.txt"));
    for (const auto& entry : install_testing::tree(dir_.path())) {
      EXPECT_TRUE(entry == "work" || entry == "outside" || entry.starts_with("work/") ||
                  entry == "source" || entry.starts_with("source/"))
          << entry;
    }
  }

  testing::TempDir dir_;
  std::string work_ = dir_.file("work");
  std::string unpacked_ = dir_.file("work/unpacked");
  std::string outside_dir_ = dir_.file("outside");
  std::string archive_ = dir_.file("work/update.zip");
};

TEST_F(UnpackTest, KeepsSymbolicLinksAndPermissionBits) {
  const std::string source = dir_.file("source");
  fs::create_directory(source);
  fixture::BundleSpec spec = fixture::tool_bundle("orbit-action-dial", 3);
  spec.marker = "kept";
  fixture::make_bundle(source, spec);
  fs::permissions(source + "/Orbit Action Dial.app/Contents/Resources/marker.txt", fs::perms(0640));
  fixture::zip_entries(source, {"Orbit Action Dial.app"}, archive_);

  ASSERT_TRUE(unpack(archive_).has_value());
  const std::string bundle = unpacked_ + "/Orbit Action Dial.app";
  EXPECT_EQ(install_testing::tree(bundle),
            install_testing::tree(source + "/Orbit Action Dial.app"));
  const fs::path link = bundle + "/Contents/Resources/marker-link";
  ASSERT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::read_symlink(link), "marker.txt");
  EXPECT_EQ(fs::status(bundle + "/Contents/MacOS/fixture-tool").permissions() & fs::perms::mask,
            fs::perms(0755));
  EXPECT_EQ(fs::status(bundle + "/Contents/Resources/marker.txt").permissions() & fs::perms::mask,
            fs::perms(0640));
  EXPECT_EQ(testing::read_file(bundle + "/Contents/Resources/marker.txt"), "kept");
  expect_nothing_outside();
}

TEST_F(UnpackTest, DestinationIsCreatedFirst) {
  fixture::write_file(archive_, "not an archive");
  const auto unpacked = unpack(archive_);
  ASSERT_FALSE(unpacked.has_value());
  EXPECT_EQ(unpacked.error(), refused);
  EXPECT_TRUE(fs::is_directory(unpacked_));
}

TEST_F(UnpackTest, DestinationMustBeNew) {
  write_zip(archive_, {{"a.txt", "a"}});
  fs::create_directory(unpacked_);
  const auto unpacked = unpack(archive_);
  ASSERT_FALSE(unpacked.has_value());
  EXPECT_EQ(unpacked.error(), "File exists (os error 17)");
}

// Where openat2 is refused (an old kernel, a filter), the archive is not
// blamed. The filter holds for the calling thread alone.
TEST_F(UnpackTest, RefusedLookupIsNamed) {
  write_zip(archive_, {{"A.app/x", "x"}});
  std::expected<void, std::string> unpacked;
  std::thread([&] {
    sock_filter filter[] = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
                            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
                            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
    const sock_fprog program{.len = std::size(filter), .filter = filter};
    ASSERT_EQ(::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0), 0);
    ASSERT_EQ(::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program), 0);
    unpacked = unpack(archive_);
  }).join();
  ASSERT_FALSE(unpacked.has_value());
  EXPECT_EQ(unpacked.error(), "Function not implemented (os error 38)");
  EXPECT_EQ(install_testing::tree(unpacked_), std::vector<std::string>{});
}

// --- hostile archives made like a bundle with one bad entry ---------------

class HostileArchiveTest : public UnpackTest,
                           public ::testing::WithParamInterface<fixture::HostileEntry> {};

TEST_P(HostileArchiveTest, NothingLandsOutside) {
  const std::string source = dir_.file("source");
  fs::create_directory(source);
  fixture::make_bundle(source, fixture::tool_bundle("orbit-action-dial", 3));
  for (const fs::path& outside :
       {fs::path(outside_dir_) / "evil.txt", fs::path("/evil-from-kelvoma-test.txt")}) {
    SCOPED_TRACE(outside.string());
    std::error_code ignored;
    fs::remove_all(unpacked_, ignored);
    fixture::hostile_zip(source, "Orbit Action Dial.app", GetParam(), outside, archive_);
    const auto unpacked = unpack(archive_);
    ASSERT_FALSE(unpacked.has_value());
    EXPECT_EQ(unpacked.error(), refused);
    expect_nothing_outside();
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, HostileArchiveTest,
                         ::testing::Values(fixture::HostileEntry::parent_directory,
                                           fixture::HostileEntry::absolute_path,
                                           fixture::HostileEntry::symlink_write,
                                           fixture::HostileEntry::unicode_path),
                         [](const auto& test) {
                           switch (test.param) {
                             case fixture::HostileEntry::parent_directory:
                               return "ParentDirectory";
                             case fixture::HostileEntry::absolute_path:
                               return "AbsolutePath";
                             case fixture::HostileEntry::symlink_write:
                               return "SymlinkWrite";
                             case fixture::HostileEntry::unicode_path:
                               return "UnicodePath";
                           }
                           return "";
                         });

// --- entry names, one table -------------------------------------------------

struct NamesCase {
  std::string name;
  std::vector<Entry> entries;
  ZipOptions options;
  bool accepted;
};

// Test names in listings come from here, not from the bytes of the case.
void PrintTo(const NamesCase& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class EntryNamesTest : public UnpackTest, public ::testing::WithParamInterface<NamesCase> {};

TEST_P(EntryNamesTest, Decides) {
  write_zip(archive_, GetParam().entries, GetParam().options);
  const fs::path working_directory = fs::current_path();
  const auto unpacked = unpack(archive_);
  EXPECT_EQ(fs::current_path(), working_directory);
  if (GetParam().accepted) {
    EXPECT_TRUE(unpacked.has_value()) << unpacked.error();
  } else {
    ASSERT_FALSE(unpacked.has_value());
    EXPECT_EQ(unpacked.error(), refused);
  }
  expect_nothing_outside();
}

const std::string outside_link_target = "../../outside";

INSTANTIATE_TEST_SUITE_P(
    Names, EntryNamesTest,
    ::testing::Values(
        NamesCase{
            "PlainNames", {{"A.app/", "", directory_mode}, {"A.app/x", "x"}}, plain_zip, true},
        NamesCase{"DotComponents", {{"./A.app/./x", "x"}, {"A.app//y", "y"}}, plain_zip, true},
        NamesCase{"DotsInsideNames",
                  {{"A.app/..x", "x"}, {"A.app/x..", "y"}, {"...", "z"}},
                  plain_zip,
                  true},
        NamesCase{"LinkPointingOutsideIsKept", {{"A.app/l", "/etc", link_mode}}, plain_zip, true},
        NamesCase{
            "LinkToParentIsKept", {{"A.app/l", outside_link_target, link_mode}}, plain_zip, true},
        NamesCase{"Zip64Records", {{"A.app/x", "x"}, {"A.app/y", "y"}}, zip64, true},
        NamesCase{"ArchiveComment",
                  {{"A.app/x", "x"}},
                  ZipOptions{false, "PK\x05\x06 not a record"},
                  true},
        NamesCase{"GoodUnicodePath", {{"A.app/x", "x", file_mode, "A.app/x"}}, plain_zip, true},
        // Read in this process's C locale: names are UTF-8 whatever the locale.
        NamesCase{.name = "CzechNamesAndLinkTarget",
                  .entries = {{"Nápověda.app/", "", directory_mode},
                              {"Nápověda.app/Žluťoučký kůň.txt", "x"},
                              {"Nápověda.app/odkaz", "Žluťoučký kůň.txt", link_mode}},
                  .options = plain_zip,
                  .accepted = true},
        NamesCase{.name = "NameNotUtf8",
                  .entries = {{"A.app/n\x01.txt", "x"}},
                  .options = plain_zip,
                  .accepted = false},
        NamesCase{.name = "NameFlaggedUtf8ButNot",
                  .entries = {{"A.app/Nápověda\x01.txt", "x"}},
                  .options = plain_zip,
                  .accepted = false},
        NamesCase{"ParentAtStart", {{"../x", "x"}}, plain_zip, false},
        NamesCase{"ParentInside", {{"A.app/../../x", "x"}}, plain_zip, false},
        NamesCase{"ParentAlone", {{"..", "x"}}, plain_zip, false},
        NamesCase{"ParentWithBackslash", {{"A.app\\..\\..\\x", "x"}}, plain_zip, false},
        NamesCase{"Absolute", {{"/tmp/x", "x"}}, plain_zip, false},
        NamesCase{"AbsoluteBackslash", {{"\\tmp\\x", "x"}}, plain_zip, false},
        NamesCase{"DriveLetter", {{"C:/x", "x"}}, plain_zip, false},
        NamesCase{"ParentInZip64", {{"A.app/x", "x"}, {"../y", "y"}}, zip64, false},
        NamesCase{"AbsoluteUnicodePath", {{"A.app/x", "x", file_mode, "/tmp/x"}}, plain_zip, false},
        NamesCase{"ParentUnicodePath", {{"A.app/x", "x", file_mode, "../x"}}, plain_zip, false},
        NamesCase{"WriteBelowLink",
                  {{"A.app/l", outside_link_target, link_mode}, {"A.app/l/x", "x"}},
                  plain_zip,
                  false},
        NamesCase{"WriteBelowLinkSpelledOtherwise",
                  {{"A.app/l", outside_link_target, link_mode}, {"./A.app//l/./x", "x"}},
                  plain_zip,
                  false},
        NamesCase{"WriteOverLink",
                  {{"A.app/l", outside_link_target + "/x", link_mode}, {"A.app/l", "x"}},
                  plain_zip,
                  false},
        NamesCase{"LinkThenDirectoryBelow",
                  {{"A.app/l", outside_link_target, link_mode}, {"A.app/l/d/", "", directory_mode}},
                  {},
                  false},
        NamesCase{.name = "CharacterDevice",
                  .entries = {{"A.app/null", "", S_IFCHR | 0666}},
                  .options = plain_zip,
                  .accepted = false},
        NamesCase{.name = "NoEntries", .entries = {}, .options = plain_zip, .accepted = false},
        NamesCase{.name = "DotFolder",
                  .entries = {{"./", "", S_IFDIR | 0777}, {"A.app/x", "x"}},
                  .options = plain_zip,
                  .accepted = false},
        NamesCase{.name = "Dot", .entries = {{".", "x"}}, .options = plain_zip, .accepted = false},
        NamesCase{.name = "NulInName",
                  .entries = {{"A.app/x\x7f.evil", "x"}},
                  .options = plain_zip,
                  .accepted = false},
        NamesCase{.name = "NameOf5000Bytes",
                  .entries = {{[] {
                                 std::string name = "A.app/";
                                 for (int i = 0; i < 24; ++i) name += std::string(199, 'n') + "/";
                                 return name + std::string(194, 'x');
                               }(),
                               "x"}},
                  .options = plain_zip,
                  .accepted = false},
        NamesCase{.name = "ThreeHundredComponents",
                  .entries = {{[] {
                                 std::string name;
                                 for (int i = 0; i < 299; ++i) name += "d/";
                                 return name + "x";
                               }(),
                               "x"}},
                  .options = plain_zip,
                  .accepted = false}),
    [](const auto& test) { return test.param.name; });

// --- files that are no zip archive of ours ---------------------------------

TEST_F(UnpackTest, NotAZipArchive) {
  struct Case {
    std::string name;
    std::function<void()> make;
  };
  const std::vector<Case> cases = {
      {"missing", [] {}},
      {"empty", [&] { fixture::write_file(archive_, ""); }},
      {"text", [&] { fixture::write_file(archive_, "not an archive at all"); }},
      {"tar archive",
       [&] {
         fixture::write_file(dir_.file("work/a.txt"), "a");
         ASSERT_EQ(
             testing::run_program({"/usr/bin/bsdtar", "-c", "-f", archive_, "-C", work_, "a.txt"})
                 .exit_status,
             0);
       }},
      {"truncated zip",
       [&] {
         write_zip(archive_, {{"A.app/x", std::string(4000, 'x')}});
         fs::resize_file(archive_, fs::file_size(archive_) - 30);
       }},
      {"directory", [&] { fs::create_directory(archive_); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::error_code ignored;
    fs::remove_all(archive_, ignored);
    fs::remove_all(unpacked_, ignored);
    c.make();
    const auto unpacked = unpack(archive_);
    ASSERT_FALSE(unpacked.has_value());
    EXPECT_EQ(unpacked.error(), refused);
  }
}

// --- archives that are more or other than one plain zip --------------------

// Makes ARCHIVE of KIND in WORK; MAX_ENTRIES and MAX_BYTES are the bounds.
constexpr std::string_view hostile_layout_script = R"PY(
import io, os, struct, subprocess, sys, tarfile, zipfile
archive, work, kind, max_entries, max_bytes = sys.argv[1:6]
max_entries, max_bytes = int(max_entries), int(max_bytes)

def plain_zip(entries):
    out = io.BytesIO()
    with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED) as z:
        for name, data in entries:
            info = zipfile.ZipInfo(name)
            info.create_system = 3
            info.external_attr = 0o100644 << 16
            z.writestr(info, data)
    return out.getvalue()

def declared_size(data, size):
    # The uncompressed size in the local header and in the central directory.
    data = bytearray(data)
    local = data.index(b'PK\x03\x04')
    central = data.index(b'PK\x01\x02')
    struct.pack_into('<I', data, local + 22, size)
    struct.pack_into('<I', data, central + 24, size)
    return bytes(data)

def tar_bytes():
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode='w') as t:
        payload = b'from the tar\n'
        info = tarfile.TarInfo('A.app/from-tar.txt')
        info.size = len(payload)
        t.addfile(info, io.BytesIO(payload))
    return out.getvalue()

good = plain_zip([('A.app/x', b'x')])
if kind == 'tar_then_zip':
    data = tar_bytes() + good
elif kind == 'bytes_before':
    data = b'#!/bin/sh\nexit 0\n' + good
elif kind == 'bytes_after':
    data = good + tar_bytes()
elif kind == 'size_understated':
    data = declared_size(plain_zip([('A.app/big', bytes(8 << 20))]), 100)
elif kind == 'size_over_bound':
    data = declared_size(plain_zip([('A.app/x', b'x')]), max_bytes + 1)
elif kind == 'entries_over_bound':
    data = plain_zip([('A.app/%d' % i, b'') for i in range(max_entries + 1)])
else:
    sys.exit('unknown kind ' + kind)
with open(archive, 'wb') as f:
    f.write(data)
)PY";

struct LayoutCase {
  std::string name;
  std::string kind;            // of hostile_layout_script
  std::uint64_t largest_file;  // bytes any file under the destination may hold afterwards
};

void PrintTo(const LayoutCase& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class HostileLayoutTest : public UnpackTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(HostileLayoutTest, RefusedWithoutWritingMore) {
  const auto made = testing::run_program(
      {"/usr/bin/python3", "-c", std::string(hostile_layout_script), archive_, work_,
       GetParam().kind, std::to_string(max_archive_entries), std::to_string(max_unpacked_bytes)});
  ASSERT_EQ(made.exit_status, 0) << made.err;
  const auto unpacked = unpack(archive_);
  ASSERT_FALSE(unpacked.has_value());
  EXPECT_EQ(unpacked.error(), refused);
  for (const std::string& entry : install_testing::tree(unpacked_)) {
    const fs::path path = fs::path(unpacked_) / entry;
    EXPECT_FALSE(entry.ends_with("from-tar.txt")) << entry;
    if (fs::is_regular_file(fs::symlink_status(path))) {
      EXPECT_LE(fs::file_size(path), GetParam().largest_file) << entry;
    }
  }
  expect_nothing_outside();
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, HostileLayoutTest,
    ::testing::Values(
        // The zip's own reader would find the appended zip; a tool that reads
        // from the front would find the tar.
        LayoutCase{.name = "TarWithZipAppended", .kind = "tar_then_zip", .largest_file = 0},
        LayoutCase{.name = "BytesBeforeTheZip", .kind = "bytes_before", .largest_file = 0},
        LayoutCase{.name = "BytesAfterTheZip", .kind = "bytes_after", .largest_file = 0},
        // Declared 100 bytes, inflates to 8 MiB: stopped at what it declared.
        LayoutCase{.name = "SizeUnderstated", .kind = "size_understated", .largest_file = 100},
        LayoutCase{.name = "SizeOverBound", .kind = "size_over_bound", .largest_file = 0},
        LayoutCase{.name = "EntriesOverBound", .kind = "entries_over_bound", .largest_file = 0}),
    [](const auto& test) { return test.param.name; });

// --- permission bits ----------------------------------------------------------

struct ModeCase {
  std::string name;
  Entry entry;
  fs::perms installed;
  mode_t umask = 0;  // the process's, while unpacking
  int copies = 1;    // of the entry in the archive (ZipOptions::copies)
  int at_once = 1;   // unpacks of the archive on threads, in each of
  int rounds = 1;    // these rounds
};

void PrintTo(const ModeCase& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class ModeBitsTest : public UnpackTest, public ::testing::WithParamInterface<ModeCase> {};

// The "Umask:" line of /proc/self/status, which reading does not change.
std::string umask_in_status() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("Umask:")) return line;
  }
  return "";
}

TEST_P(ModeBitsTest, OnlyPermissionBitsSurvive) {
  const ModeCase& c = GetParam();
  write_zip(archive_, {c.entry}, {.zip64 = false, .comment = "", .copies = c.copies});
  const mode_t before = ::umask(c.umask);
  const std::string expected_umask = umask_in_status();
  for (int round = 0; round < c.rounds; ++round) {
    std::vector<std::expected<void, std::string>> results(c.at_once);
    {
      std::vector<std::jthread> threads;
      for (int i = 0; i < c.at_once; ++i) {
        threads.emplace_back([&, i] {
          results[i] =
              unpack_file(archive_, unpacked_ + "-" + std::to_string(round * c.at_once + i));
        });
      }
    }
    EXPECT_EQ(umask_in_status(), expected_umask) << "round " << round;
    for (const auto& result : results) EXPECT_TRUE(result.has_value()) << result.error();
  }
  ::umask(before);
  std::vector<std::string> widened;  // by a bit the umask takes away
  for (int i = 0; i < c.rounds * c.at_once; ++i) {
    std::error_code missing;
    const std::string destination = unpacked_ + "-" + std::to_string(i);
    for (const auto& made : fs::recursive_directory_iterator(destination, missing)) {
      if ((made.symlink_status().permissions() & fs::perms(c.umask)) != fs::perms::none) {
        widened.push_back(made.path());
      }
    }
  }
  EXPECT_EQ(widened.size(), 0u) << "the first: " << (widened.empty() ? "" : widened.front());
  const std::string name = c.copies == 1 ? c.entry.name : "0/0/" + c.entry.name;
  EXPECT_EQ(fs::symlink_status(fs::path(unpacked_ + "-0") / name).permissions(), c.installed);
}

INSTANTIATE_TEST_SUITE_P(Modes, ModeBitsTest,
                         ::testing::Values(ModeCase{.name = "SetUserId",
                                                    .entry = {"a", "a", S_IFREG | 04755},
                                                    .installed = fs::perms(0755)},
                                           ModeCase{.name = "SetGroupId",
                                                    .entry = {"a", "a", S_IFREG | 02755},
                                                    .installed = fs::perms(0755)},
                                           ModeCase{.name = "Sticky",
                                                    .entry = {"a", "a", S_IFREG | 01755},
                                                    .installed = fs::perms(0755)},
                                           ModeCase{.name = "AllSpecialBits",
                                                    .entry = {"a", "a", S_IFREG | 07777},
                                                    .installed = fs::perms(0777)},
                                           ModeCase{.name = "StickyFolder",
                                                    .entry = {"d/", "", S_IFDIR | 01777},
                                                    .installed = fs::perms(0777)},
                                           ModeCase{.name = "SetGroupIdFolder",
                                                    .entry = {"d/", "", S_IFDIR | 02750},
                                                    .installed = fs::perms(0750)},
                                           ModeCase{.name = "ReadOnlyFile",
                                                    .entry = {"a", "a", S_IFREG | 0444},
                                                    .installed = fs::perms(0444)},
                                           ModeCase{.name = "UmaskAfterSpecialBits",
                                                    .entry = {"d/", "", S_IFDIR | 07777},
                                                    .installed = fs::perms(0750),
                                                    .umask = 027},
                                           ModeCase{.name = "TwoAtOnce",
                                                    .entry = {"a", "a", S_IFREG | 0777},
                                                    .installed = fs::perms(0750),
                                                    .umask = 027,
                                                    .copies = 3000,
                                                    .at_once = 2,
                                                    .rounds = 2},
                                           ModeCase{.name = "FourAtOnce",
                                                    .entry = {"d/", "", S_IFDIR | 0777},
                                                    .installed = fs::perms(0750),
                                                    .umask = 027,
                                                    .copies = 3000,
                                                    .at_once = 4,
                                                    .rounds = 2}),
                         [](const auto& test) { return test.param.name; });

TEST_F(UnpackTest, SymbolicLinksAreKeptAsLinks) {
  write_zip(archive_, {{"A.app/target", "t"},
                       {"A.app/near", "target", link_mode},
                       {"A.app/far", "/etc/hostname", link_mode},
                       {"A.app/up", "../A.app/target", link_mode}});
  ASSERT_TRUE(unpack(archive_).has_value());
  for (const auto& [name, target] : {std::pair{"near", "target"}, std::pair{"far", "/etc/hostname"},
                                     std::pair{"up", "../A.app/target"}}) {
    const fs::path link = fs::path(unpacked_) / "A.app" / name;
    ASSERT_TRUE(fs::is_symlink(link)) << name;
    EXPECT_EQ(fs::read_symlink(link), target) << name;
  }
}

// --- the free space of the destination's file system ------------------------

// A tmpfs of 1 MiB for one test; skipped where mounting is not permitted.
class SmallFileSystemTest : public UnpackTest {
 protected:
  void SetUp() override {
    UnpackTest::SetUp();
    fs::create_directory(mount_point_);
    if (::mount("kelvoma-test", mount_point_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m") !=
        0) {
      GTEST_SKIP() << "NOTE: cannot mount a tmpfs here (" << std::strerror(errno) << ")";
    }
    mounted_ = true;
  }

  void TearDown() override {
    if (mounted_) {
      ::umount2(mount_point_.c_str(), MNT_DETACH);
    }
  }

  std::uint64_t used_bytes() const {
    struct statvfs space {};
    EXPECT_EQ(::statvfs(mount_point_.c_str(), &space), 0);
    return std::uint64_t{space.f_blocks - space.f_bfree} * space.f_frsize;
  }

  std::string mount_point_ = dir_.file("small");
  bool mounted_ = false;
};

// Zips files of the given sizes (zeros, sparse on disk) below "source/A.app".
void zip_sized_files(const testing::TempDir& dir, const std::string& archive,
                     const std::vector<std::pair<std::string, std::uintmax_t>>& files) {
  const std::string source = dir.file("source");
  fs::create_directories(source + "/A.app");
  for (const auto& [name, size] : files) {
    fixture::write_file(source + "/A.app/" + name, "");
    fs::resize_file(source + "/A.app/" + name, size);
  }
  fixture::zip_entries(source, {"A.app"}, archive);
}

TEST_F(SmallFileSystemTest, ArchiveDeclaringMoreThanFitsIsRefusedBeforeWriting) {
  // 4 MiB of zeros deflate to a few KiB: the archive fits, its contents not.
  zip_sized_files(dir_, archive_, {{"small", 1}, {"zeros", 4 << 20}});
  const std::string destination = mount_point_ + "/unpacked";
  const std::uint64_t used_before = used_bytes();
  const auto unpacked = unpack_file(archive_, destination);
  ASSERT_FALSE(unpacked.has_value());
  EXPECT_EQ(unpacked.error(), refused);
  EXPECT_EQ(install_testing::tree(destination), std::vector<std::string>{});
  EXPECT_LT(used_bytes() - used_before, 64u * 1024);
}

TEST_F(SmallFileSystemTest, ArchiveThatFitsIsUnpacked) {
  zip_sized_files(dir_, archive_, {{"data", 256 << 10}});
  const std::string destination = mount_point_ + "/unpacked";
  const auto unpacked = unpack_file(archive_, destination);
  ASSERT_TRUE(unpacked.has_value()) << unpacked.error();
  EXPECT_EQ(fs::file_size(destination + "/A.app/data"), 256u << 10);
}

}  // namespace
}  // namespace kelvoma
