// The persistence models' rules on tiny traces, and the reading of strace's
// log, row by row.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "model.h"
#include "tree.h"

namespace kelvoma::crash {
namespace {

Op op(OpKind kind, std::string path, std::string path2 = {}) {
  return Op{.kind = kind, .path = std::move(path), .path2 = std::move(path2), .data = "x"};
}

struct ModelRow {
  std::string name;
  std::vector<Op> trace;
  Model model;
  std::size_t crash_point;
  std::vector<std::size_t> always_persisted;  // metadata ops
  std::vector<std::size_t> sometimes_lost;    // metadata ops
  std::vector<std::size_t> durable;           // writes
  std::vector<std::size_t> at_risk;           // writes
  bool only_prefixes;                         // persisted metadata is always a prefix
};

class ModelRules : public ::testing::TestWithParam<ModelRow> {};

TEST_P(ModelRules, AllowExactlyTheseStates) {
  const ModelRow& row = GetParam();
  char folder[] = "/tmp/kelvoma-model-XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  auto tree = Tree::load(folder);
  std::filesystem::remove(folder);
  ASSERT_TRUE(tree);
  std::vector<Op> ops = row.trace;
  ASSERT_TRUE(annotate(ops, *tree, 022));
  const Persistence persistence(ops);
  std::vector<Persisted> outcomes;
  for (const CrashState& state : persistence.states(row.model, 100000, 1)) {
    const auto named =
        persistence.state_by_id(persistence.state_id(state, row.model), row.model, 1);
    ASSERT_TRUE(named && named->candidate == state.candidate &&
                named->crash_point == state.crash_point && named->choice == state.choice);
    if (state.crash_point == row.crash_point) {
      outcomes.push_back(persistence.persisted(state, row.model));
    }
  }
  ASSERT_FALSE(outcomes.empty());
  const auto always = [&](std::size_t j, bool metadata) {
    for (const Persisted& outcome : outcomes) {
      if (!(metadata ? outcome.metadata : outcome.durable)[j]) return false;
    }
    return true;
  };
  for (const std::size_t j : row.always_persisted) EXPECT_TRUE(always(j, true)) << j;
  for (const std::size_t j : row.sometimes_lost) EXPECT_FALSE(always(j, true)) << j;
  for (const std::size_t j : row.durable) EXPECT_TRUE(always(j, false)) << j;
  for (const std::size_t j : row.at_risk) EXPECT_FALSE(always(j, false)) << j;
  bool prefixes = true;
  for (const Persisted& outcome : outcomes) {
    bool gap = false;
    for (std::size_t j = 0; j < row.crash_point; ++j) {
      if (!is_metadata(ops[j].kind)) continue;
      prefixes = prefixes && !(gap && outcome.metadata[j]);
      gap = gap || !outcome.metadata[j];
    }
  }
  EXPECT_EQ(prefixes, row.only_prefixes);
}

using K = OpKind;
INSTANTIATE_TEST_SUITE_P(
    Rows, ModelRules,
    ::testing::Values(
        ModelRow{.name = "FsyncOfAFileKeepsItsDataNotItsName",
                 .trace = {op(K::create, "f"), op(K::write, "f"), op(K::fsync, "f")},
                 .model = Model::ordered,
                 .crash_point = 3,
                 .always_persisted = {},
                 .sometimes_lost = {0},
                 .durable = {1},
                 .at_risk = {},
                 .only_prefixes = true},
        ModelRow{
            .name = "DataAfterTheLastFsyncIsAtRisk",
            .trace = {op(K::create, "f"), op(K::write, "f"), op(K::fsync, "f"), op(K::write, "f")},
            .model = Model::ordered,
            .crash_point = 4,
            .always_persisted = {},
            .sometimes_lost = {0},
            .durable = {1},
            .at_risk = {3},
            .only_prefixes = true},
        ModelRow{.name = "NothingIsSureBeforeTheBarrier",
                 .trace = {op(K::create, "f"), op(K::write, "f"), op(K::fsync, "f")},
                 .model = Model::ordered,
                 .crash_point = 2,
                 .always_persisted = {},
                 .sometimes_lost = {0},
                 .durable = {},
                 .at_risk = {1},
                 .only_prefixes = true},
        ModelRow{
            .name = "FsyncOfAnotherFileLeavesThisOnesData",
            .trace = {op(K::create, "f"), op(K::create, "g"), op(K::write, "f"), op(K::fsync, "g")},
            .model = Model::ordered,
            .crash_point = 4,
            .always_persisted = {},
            .sometimes_lost = {1},
            .durable = {},
            .at_risk = {2},
            .only_prefixes = true},
        ModelRow{.name = "SyncfsMakesEverythingBeforeItDurable",
                 .trace = {op(K::mkdir, "a"), op(K::create, "a/f"), op(K::write, "a/f"),
                           op(K::syncfs, ""), op(K::rename, "a/f", "g")},
                 .model = Model::ordered,
                 .crash_point = 5,
                 .always_persisted = {0, 1},
                 .sometimes_lost = {4},
                 .durable = {2},
                 .at_risk = {},
                 .only_prefixes = true},
        ModelRow{.name = "FsyncOfTheFolderMakesTheRenameDurable",
                 .trace = {op(K::create, "f"), op(K::rename, "f", "g"), op(K::fsync, "")},
                 .model = Model::any_subset,
                 .crash_point = 3,
                 .always_persisted = {1},
                 .sometimes_lost = {},
                 .durable = {},
                 .at_risk = {},
                 .only_prefixes = true},
        ModelRow{.name = "AFilesFsyncLeavesItsNameToAnySubset",
                 .trace = {op(K::create, "f"), op(K::write, "f"), op(K::fsync, "f")},
                 .model = Model::any_subset,
                 .crash_point = 3,
                 .always_persisted = {},
                 .sometimes_lost = {0},
                 .durable = {1},
                 .at_risk = {},
                 .only_prefixes = true},
        ModelRow{
            .name = "TheFolderFsyncMakesTheNameDurable",
            .trace = {op(K::create, "f"), op(K::write, "f"), op(K::fsync, "f"), op(K::fsync, "")},
            .model = Model::any_subset,
            .crash_point = 4,
            .always_persisted = {0},
            .sometimes_lost = {},
            .durable = {1},
            .at_risk = {},
            .only_prefixes = true},
        ModelRow{.name = "FdatasyncCoversTheDataNotTheName",
                 .trace = {op(K::create, "f"), op(K::write, "f"), op(K::fdatasync, "f")},
                 .model = Model::ordered,
                 .crash_point = 3,
                 .always_persisted = {},
                 .sometimes_lost = {0},
                 .durable = {1},
                 .at_risk = {},
                 .only_prefixes = true},
        ModelRow{.name = "FdatasyncKeepsTheUnnamedFileItsLinkNamesButNotItsMode",
                 .trace = {op(K::anonymous, "#5"), op(K::chmod, "#5"), op(K::write, "#5"),
                           op(K::fdatasync, "#5"), op(K::link, "#5", "f"), op(K::fsync, "")},
                 .model = Model::any_subset,
                 .crash_point = 6,
                 .always_persisted = {0, 4},
                 .sometimes_lost = {1},
                 .durable = {2},
                 .at_risk = {},
                 .only_prefixes = false},
        ModelRow{.name = "OrderedKeepsThePrefix",
                 .trace = {op(K::mkdir, "a"), op(K::mkdir, "b"), op(K::mkdir, "c")},
                 .model = Model::ordered,
                 .crash_point = 3,
                 .always_persisted = {},
                 .sometimes_lost = {0, 1, 2},
                 .durable = {},
                 .at_risk = {},
                 .only_prefixes = true},
        ModelRow{.name = "AnySubsetLetsALaterOpPersistAlone",
                 .trace = {op(K::mkdir, "a"), op(K::mkdir, "b"), op(K::mkdir, "c")},
                 .model = Model::any_subset,
                 .crash_point = 3,
                 .always_persisted = {},
                 .sometimes_lost = {0, 1, 2},
                 .durable = {},
                 .at_risk = {},
                 .only_prefixes = false}),
    [](const auto& test) { return test.param.name; });

// The sampling rules on a trace of 80 folders made, a rename after the
// 20th, a barrier after the last and one more folder: what a budget keeps.
class Sampling : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 80; ++i) {
      trace_.push_back(op(K::mkdir, "d" + std::to_string(i)));
      if (i == 19) trace_.push_back(op(K::rename, "d0", "moved"));
    }
    trace_.push_back(op(K::fsync, ""));
    trace_.push_back(op(K::mkdir, "late"));
    char folder[] = "/tmp/kelvoma-model-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    auto tree = Tree::load(folder);
    std::filesystem::remove(folder);
    ASSERT_TRUE(tree && annotate(trace_, *tree, 022));
  }
  std::vector<Op> trace_;
};

TEST_F(Sampling, EveryPrefixEndNearARenameOrBarrierIsACandidate) {
  const Persistence persistence(trace_);
  std::set<std::size_t> ends;
  for (const CrashState& state : persistence.states(Model::ordered, 100000, 1)) {
    if (state.crash_point == 81) ends.insert(state.metadata_end);
  }
  // Within 16 operations of the rename (20) and of the barrier (81) every
  // end; of the others 6 drawn, besides the shortest and the longest.
  for (std::size_t end = 5; end <= 36; ++end) EXPECT_TRUE(ends.contains(end)) << end;
  for (std::size_t end = 66; end <= 81; ++end) EXPECT_TRUE(ends.contains(end)) << end;
  EXPECT_EQ(
      std::count_if(ends.begin(), ends.end(),
                    [](std::size_t end) { return (end > 0 && end < 5) || (end > 36 && end < 66); }),
      6);
}

TEST_F(Sampling, PastTheLastBarrierTheHarshestStateIsAlwaysExplored) {
  const Persistence persistence(trace_);
  EXPECT_EQ(persistence.reported_from(), 82u);
  bool harshest = false;
  for (const CrashState& state : persistence.states(Model::any_subset, 8, 3)) {
    EXPECT_EQ(state.reported, state.crash_point >= 82);
    harshest = harshest || (state.crash_point == 83 &&
                            !persistence.persisted(state, Model::any_subset).metadata[82]);
  }
  EXPECT_TRUE(harshest);
}

struct TraceRow {
  std::string name;
  std::string log;
  std::vector<std::string> ops;  // describe() of each
  std::string error;             // part of the error, when reading fails
};

class TraceReading : public ::testing::TestWithParam<TraceRow> {};

TEST_P(TraceReading, GivesTheOperationsBelowTheRoot) {
  const TraceRow& row = GetParam();
  const auto ops = read_trace(row.log, "/r");
  if (!row.error.empty()) {
    ASSERT_FALSE(ops);
    EXPECT_NE(ops.error().find(row.error), std::string::npos) << ops.error();
    return;
  }
  ASSERT_TRUE(ops) << ops.error();
  std::vector<std::string> described;
  for (const Op& op : *ops) described.push_back(describe(op));
  EXPECT_EQ(described, row.ops);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TraceReading,
    ::testing::Values(
        TraceRow{.name = "CreateWriteAndRenameByFolderDescriptors",
                 .log = "7 openat(AT_FDCWD</r>, \"\\x66\", O_WRONLY|O_CREAT|O_EXCL, 0644) = "
                        "3</r/f>\n"
                        "7 write(3</r/f>, \"\\x61\\x62\", 2) = 2\n"
                        "7 write(3</r/f>, \"\\x63\", 1) = 1\n"
                        "7 renameat2(4</r>, \"f\", 4</r>, \"g\", RENAME_NOREPLACE) = 0\n",
                 .ops = {"create \"f\"", "write \"f\" 2 bytes at 0", "write \"f\" 1 bytes at 2",
                         "rename \"f\" -> \"g\""},
                 .error = {}},
        TraceRow{.name = "ResumedCallsAndFailuresAndOtherFolders",
                 .log = "7 mkdir(\"/r/d\", 0777 <unfinished ...>\n"
                        "8 unlink(\"/r/x\") = -1 ENOENT (No such file or directory)\n"
                        "8 unlink(\"/elsewhere/x\") = 0\n"
                        "7 <... mkdir resumed>) = 0\n"
                        "7 syncfs(5</r/d>) = 0\n",
                 .ops = {"mkdir \"d\"", "syncfs \"\""},
                 .error = {}},
        TraceRow{.name = "AnUnnamedFileLinkedByItsDescriptor",
                 .log = "7 openat(AT_FDCWD</r>, \"/r\", O_RDWR|O_CLOEXEC|O_TMPFILE, 0666) = "
                        "3</r/#12 (deleted)>\n"
                        "7 linkat(3</r/#12 (deleted)>, \"\", 4</r/w>, \"a.zip\", AT_EMPTY_PATH) "
                        "= 0\n",
                 .ops = {"anonymous \"#1\"", "link \"#1\" -> \"w/a.zip\""},
                 .error = {}},
        TraceRow{.name = "Openat2CreatesBeneathItsFolder",
                 .log = "7 openat2(4</r/d>, \"f\", {flags=O_RDWR|O_CREAT|O_EXCL, mode=0600, "
                        "resolve=RESOLVE_BENEATH}, 24) = 5</r/d/f>\n",
                 .ops = {"create \"d/f\""},
                 .error = {}},
        TraceRow{.name = "AWritevBelowTheRootIsRefused",
                 .log = "7 writev(3</r/f>, [{iov_base=\"\\x61\", iov_len=1}], 1) = 1\n",
                 .ops = {},
                 .error = "writev below the root"},
        TraceRow{.name = "AWriteCutShortIsRefused",
                 .log = "7 write(3</r/f>, \"\\x61\"..., 2) = 2\n",
                 .ops = {},
                 .error = "cut short"}),
    [](const auto& test) { return test.param.name; });

}  // namespace
}  // namespace kelvoma::crash
