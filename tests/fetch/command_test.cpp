// run_command and the child-process owner beneath it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fetch/command.h"
#include "support/process_util.h"
#include "support/temp_dir.h"

namespace kelvoma {
namespace {

using testing::child_processes;
using testing::listed_descriptors;
using testing::process_exists;
using testing::read_file;
using testing::TempDir;

constexpr std::string_view failure = "Balíček nelze rozbalit.";

Command shell(const std::string& script) { return Command{"/bin/sh", {"-c", script}}; }

struct Outcome {
  const char* name;
  Command command;
  std::optional<std::string> message;  // nullopt: success
};

void PrintTo(const Outcome& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class RunCommandOutcome : public ::testing::TestWithParam<Outcome> {};

TEST_P(RunCommandOutcome, GivesTheExpectedResult) {
  const Outcome& outcome = GetParam();
  const auto result = run_command(outcome.command, failure);
  if (!outcome.message) {
    EXPECT_TRUE(result.has_value()) << result.error();
  } else {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(*outcome.message, result.error());
  }
  EXPECT_EQ(std::vector<pid_t>{}, child_processes());
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, RunCommandOutcome,
    ::testing::Values(
        Outcome{"ExitZero", Command{"/bin/true", {}}, std::nullopt},
        Outcome{"ExitOne", Command{"/bin/false", {}}, std::string(failure)},
        Outcome{"ExitNonZeroWithOutput", shell("echo out; echo 'chyba: boom' >&2; exit 3"),
                std::string(failure)},
        Outcome{"ExitStatus256IsNotZero", shell("exit 255"), std::string(failure)},
        Outcome{"KilledBySignal", shell("kill -KILL $$"), std::string(failure)},
        Outcome{"TerminatedBySignal", shell("kill -TERM $$"), std::string(failure)},
        Outcome{"MissingProgram", Command{"/nonexistent/ditto", {"-x"}},
                "No such file or directory (os error 2)"},
        Outcome{"MissingDirectoryOnTheWay", Command{"/bin/true/ditto", {}},
                "Not a directory (os error 20)"},
        Outcome{"DirectoryAsProgram", Command{"/tmp", {}}, "Permission denied (os error 13)"},
        // Arguments reach the program one by one, never through a shell.
        Outcome{"ArgumentsUnsplit",
                Command{"/bin/sh", {"-c", "[ \"$1\" = 'a b;c' ] && [ $# = 1 ]", "sh", "a b;c"}},
                std::nullopt}),
    [](const auto& p) { return std::string(p.param.name); });

// A child that fills one pipe while we would be waiting on the other one
// only finishes when both are drained at the same time.
struct Flood {
  const char* name;
  const char* script;
};

void PrintTo(const Flood& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class RunCommandFlood : public ::testing::TestWithParam<Flood> {};

TEST_P(RunCommandFlood, Completes) {
  const auto result = run_command(shell(GetParam().script), failure);
  EXPECT_TRUE(result.has_value()) << result.error();
}

INSTANTIATE_TEST_SUITE_P(
    BothStreams, RunCommandFlood,
    ::testing::Values(
        Flood{"ErrorFirst", "head -c 8000000 /dev/zero >&2; head -c 8000000 /dev/zero"},
        Flood{"OutputFirst", "head -c 8000000 /dev/zero; head -c 8000000 /dev/zero >&2"},
        Flood{"Interleaved",
              "i=0; while [ $i -lt 40 ]; do head -c 100000 /dev/zero; "
              "head -c 100000 /dev/zero >&2; i=$((i+1)); done"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(RunCommand, FloodWithFailureStillGivesOnlyTheMessage) {
  const auto result = run_command(
      shell("head -c 3000000 /dev/urandom >&2; head -c 3000000 /dev/zero; exit 1"), failure);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(failure, result.error());
}

TEST(RunCommand, StandardInputIsTheNullDevice) {
  const TempDir dir;
  // Our own standard input is a file for the duration, so the null device
  // can only come from the runner.
  const int saved = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
  const int file = open(dir.write("input", "vstup").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(saved, 0);
  ASSERT_GE(file, 0);
  ASSERT_EQ(STDIN_FILENO, dup2(file, STDIN_FILENO));
  close(file);
  const auto result =
      run_command(shell("readlink /proc/self/fd/0 > '" + dir.file("stdin") + "'"), failure);
  dup2(saved, STDIN_FILENO);
  close(saved);
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ("/dev/null\n", read_file(dir.file("stdin")));
}

TEST(RunCommand, ChildInheritsOnlyTheStandardStreams) {
  const TempDir dir;
  // A descriptor without close-on-exec, as a careless library would leave.
  const int stray = open("/dev/null", O_RDONLY);
  ASSERT_GE(stray, 3);
  const auto result =
      run_command(shell("ls -l /proc/self/fd > '" + dir.file("fds") + "'"), failure);
  close(stray);
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ((std::vector<int>{0, 1, 2}), listed_descriptors(read_file(dir.file("fds"))))
      << read_file(dir.file("fds"));
}

TEST(RunCommand, EnvironmentIsInherited) {
  setenv("KELVOMA_COMMAND_TEST", "zdědí se", 1);
  const auto result = run_command(shell("[ \"$KELVOMA_COMMAND_TEST\" = 'zdědí se' ]"), failure);
  unsetenv("KELVOMA_COMMAND_TEST");
  EXPECT_TRUE(result.has_value());
}

// The value of a "SigBlk:"/"SigIgn:" line of /proc/<pid>/status.
std::uint64_t signal_bits(const std::string& status, std::string_view field) {
  const auto at = status.find(std::string(field) + ":\t");
  if (at == std::string::npos) {
    return ~std::uint64_t{0};
  }
  return std::stoull(status.substr(at + field.size() + 2, 16), nullptr, 16);
}

TEST(RunCommand, ChildStartsWithDefaultSignals) {
  const TempDir dir;
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  sigaddset(&blocked, SIGTERM);
  sigset_t previous;
  ASSERT_EQ(0, pthread_sigmask(SIG_BLOCK, &blocked, &previous));
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previous_pipe {};
  ASSERT_EQ(0, sigaction(SIGPIPE, &ignore, &previous_pipe));
  struct sigaction previous_hangup {};
  ASSERT_EQ(0, sigaction(SIGHUP, &ignore, &previous_hangup));

  const auto result =
      run_command(shell("exec cat /proc/self/status > '" + dir.file("status") + "'"), failure);

  sigaction(SIGHUP, &previous_hangup, nullptr);
  sigaction(SIGPIPE, &previous_pipe, nullptr);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ASSERT_TRUE(result.has_value()) << result.error();
  const std::string status = read_file(dir.file("status"));
  EXPECT_EQ(0u, signal_bits(status, "SigBlk")) << status;
  // The C library keeps its two internal signals (32 and 33) ignored across
  // posix_spawn; every signal a program can name starts at its default.
  constexpr std::uint64_t internal = (std::uint64_t{1} << 31) | (std::uint64_t{1} << 32);
  EXPECT_EQ(0u, signal_bits(status, "SigIgn") & ~internal) << status;
}

TEST(ChildProcess, OwnerKillsAndReapsARunningChild) {
  pid_t pid = -1;
  {
    auto child = ChildProcess::start(Command{"/bin/sleep", {"600"}}, StreamSetup{});
    ASSERT_TRUE(child.has_value()) << child.error();
    pid = child->pid();
    EXPECT_TRUE(process_exists(pid));
  }
  EXPECT_FALSE(process_exists(pid));
  EXPECT_EQ(std::vector<pid_t>{}, child_processes());
}

TEST(ChildProcess, WaitReportsTheStatusOnce) {
  auto child = ChildProcess::start(shell("exit 7"), StreamSetup{});
  ASSERT_TRUE(child.has_value()) << child.error();
  const auto status = child->wait();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(7, WEXITSTATUS(*status));
  EXPECT_FALSE(exited_successfully(*status));
  // Waited for: nothing left to wait for or to signal.
  EXPECT_EQ(std::unexpected(ECHILD), child->wait());
}

TEST(ChildProcess, PipesCarryOutputAndEndWithTheChild) {
  auto child = ChildProcess::start(shell("printf 'ven'; printf 'chyba' >&2"), StreamSetup{});
  ASSERT_TRUE(child.has_value()) << child.error();
  std::string out;
  std::string err;
  EXPECT_EQ(0, read_to_end(child->output().get(), out));
  EXPECT_EQ(0, read_to_end(child->error().get(), err));
  EXPECT_EQ("ven", out);
  EXPECT_EQ("chyba", err);
  const auto status = child->wait();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(exited_successfully(*status));
}

TEST(ChildProcess, UnpipedStreamsHaveNoDescriptor) {
  auto child =
      ChildProcess::start(Command{"/bin/true", {}}, StreamSetup{.input = Stream::null_device,
                                                                .output = Stream::null_device,
                                                                .error = Stream::null_device});
  ASSERT_TRUE(child.has_value()) << child.error();
  EXPECT_FALSE(child->output());
  EXPECT_FALSE(child->error());
  EXPECT_TRUE(child->wait().has_value());
}

TEST(ChildProcess, MovedOwnerStillReaps) {
  pid_t pid = -1;
  {
    auto child = ChildProcess::start(Command{"/bin/sleep", {"600"}}, StreamSetup{});
    ASSERT_TRUE(child.has_value()) << child.error();
    pid = child->pid();
    ChildProcess moved = std::move(*child);
    EXPECT_EQ(pid, moved.pid());
  }
  EXPECT_FALSE(process_exists(pid));
}

}  // namespace
}  // namespace kelvoma
