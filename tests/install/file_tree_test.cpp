// Removing a tree below a folder held open: never through a symbolic link,
// also where the owner lacks permissions, run as an unprivileged user.
#include "install/files/file_tree.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "install/install_helpers.h"
#include "support/signing.h"
#include "support/temp_dir.h"
#include "verify/util/unique_fd.h"

namespace kelvoma {
namespace {

namespace fs = std::filesystem;

constexpr uid_t nobody = 65534;

struct TreeCase {
  std::string name;
  std::function<void(const std::string& entry, const std::string& outside)> make;
  bool entry_gone;
};

void PrintTo(const TreeCase& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class RemoveTreeTest : public ::testing::TestWithParam<TreeCase> {};

void nested_tree(const std::string& entry, const std::string& outside) {
  fs::create_directories(entry + "/a/b/c");
  fixture::write_file(entry + "/a/b/c/file", "x");
  fixture::write_file(entry + "/top", "x");
  fs::create_directory_symlink(outside, entry + "/a/link-to-outside");
  fs::create_symlink(outside + "/kept.txt", entry + "/a/b/link-to-file");
}

// The tree is owned by `nobody` and removed as `nobody` (when this process
// may change its user), so that permissions count.
bool remove_as_nobody(const std::string& parent, const std::string& name) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::geteuid() == 0 && ::setresuid(nobody, nobody, nobody) != 0) ::_exit(2);
    const UniqueFd parent_fd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ::_exit(parent_fd && remove_tree(parent_fd.get(), name) ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void chown_tree(const std::string& root) {
  if (::geteuid() != 0) return;
  (void)::lchown(root.c_str(), nobody, nobody);
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    (void)::lchown(entry.path().c_str(), nobody, nobody);
  }
}

TEST_P(RemoveTreeTest, RemovesOnlyWhatIsBelow) {
  const TreeCase& c = GetParam();
  const testing::TempDir dir;
  fs::permissions(dir.path(), fs::perms(0755));
  const std::string parent = dir.file("parent");
  const std::string outside = dir.file("outside");
  fs::create_directories(parent);
  fs::create_directories(outside + "/inner");
  fixture::write_file(outside + "/kept.txt", "kept");
  const std::string entry = parent + "/entry";
  c.make(entry, outside);
  // Everything is nobody's, so a removal through a link would succeed.
  chown_tree(parent);
  chown_tree(outside);
  const auto outside_before = install_testing::tree(outside);

  EXPECT_EQ(remove_as_nobody(parent, "entry"), c.entry_gone);
  EXPECT_EQ(fs::exists(fs::symlink_status(entry)), !c.entry_gone);
  EXPECT_EQ(install_testing::tree(outside), outside_before);
  EXPECT_EQ(testing::read_file(outside + "/kept.txt"), "kept");
  fs::permissions(parent, fs::perms::owner_all);
  std::error_code ignored;
  fs::remove_all(entry, ignored);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, RemoveTreeTest,
    ::testing::Values(
        TreeCase{.name = "NestedFoldersAndLinksOut", .make = nested_tree, .entry_gone = true},
        TreeCase{.name = "FoldersTheOwnerMayNotReadOrChange",
                 .make =
                     [](const std::string& entry, const std::string& outside) {
                       nested_tree(entry, outside);
                       ::chmod((entry + "/a/b/c").c_str(), 0);
                       ::chmod((entry + "/a/b").c_str(), 0500);
                       ::chmod((entry + "/a").c_str(), 0300);
                     },
                 .entry_gone = true},
        TreeCase{.name = "SymbolicLinkToAFolder",
                 .make =
                     [](const std::string& entry, const std::string& outside) {
                       fs::create_directory_symlink(outside, entry);
                     },
                 .entry_gone = true},
        TreeCase{.name = "PlainFile",
                 .make = [](const std::string& entry,
                            const std::string&) { fixture::write_file(entry, "x"); },
                 .entry_gone = true}),
    [](const auto& test) { return test.param.name; });

}  // namespace
}  // namespace kelvoma
