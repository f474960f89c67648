// The record of the machine that made a work folder, as recovery reads it:
// only a complete record of another host keeps a folder out of its reach.
#include "install/install_directory_machine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/signing.h"
#include "support/temp_dir.h"
#include "verify/util/unique_fd.h"

namespace kelvoma {
namespace {

struct RecordCase {
  std::string name;
  std::string record;  // the file's bytes; "{host}" and "{boot}" stand for this machine's
  bool another_machine;
};

void PrintTo(const RecordCase& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class MachineRecordTest : public ::testing::TestWithParam<RecordCase> {};

TEST_P(MachineRecordTest, TellsWhoMadeTheFolder) {
  const RecordCase& c = GetParam();
  const testing::TempDir folder;
  const UniqueFd fd(::open(folder.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::string record = c.record;
  for (const auto& [name, value] :
       {std::pair{"{host}", this_machine()->host}, std::pair{"{boot}", this_machine()->boot}}) {
    if (const auto at = record.find(name); at != std::string::npos) record.replace(at, 6, value);
  }
  fixture::write_file(folder.file("machine"), record);
  EXPECT_EQ(made_on_another_machine(fd.get()), c.another_machine);
}

INSTANTIATE_TEST_SUITE_P(
    Records, MachineRecordTest,
    ::testing::Values(
        RecordCase{.name = "AnotherHost", .record = "elsewhere\nb00t\n", .another_machine = true},
        RecordCase{.name = "ThisHostInAnEarlierBoot",
                   .record = "{host}\nb00t\n",
                   .another_machine = false},
        RecordCase{.name = "ThisBootUnderAnEarlierHostName",
                   .record = "renamed.example\n{boot}\n",
                   .another_machine = false},
        RecordCase{.name = "ZerosAfterAPowerCut",
                   .record = std::string(16, '\0'),
                   .another_machine = false},
        RecordCase{.name = "EmptyAfterAPowerCut", .record = "", .another_machine = false},
        RecordCase{.name = "HostWithoutBootId", .record = "elsewhere\n", .another_machine = false},
        RecordCase{.name = "MoreThanTwoLines",
                   .record = "elsewhere\nb00t\nmore\n",
                   .another_machine = false}),
    [](const auto& test) { return test.param.name; });

TEST(MachineRecordTest, WrittenRecordIsThisMachine) {
  const testing::TempDir folder;
  const UniqueFd fd(::open(folder.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_EQ(write_machine_record(fd.get()), 0);
  const auto record = read_machine_record(fd.get());
  const auto here = this_machine();
  ASSERT_TRUE(record && here);
  EXPECT_EQ(record->host, here->host);
  EXPECT_EQ(record->boot, here->boot);
  EXPECT_FALSE(made_on_another_machine(fd.get()));
}

}  // namespace
}  // namespace kelvoma
