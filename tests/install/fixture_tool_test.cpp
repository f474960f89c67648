// The fixture tool that fixture bundles carry: it must behave as the manager
// expects of a tool, and as tests ask it to.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "install/install_helpers.h"
#include "support/fixture_bundle.h"
#include "support/temp_dir.h"

extern char** environ;

namespace kelvoma {
namespace {

using namespace std::chrono_literals;

class FixtureToolTest : public ::testing::Test {
 protected:
  pid_t start(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), fixture::fixture_tool_path().string());
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    return pid;
  }

  // The log line, once the tool has written it (it is ready for signals).
  std::string wait_for_log() {
    for (int i = 0; i < 500; ++i) {
      const std::string text = testing::read_file(log_);
      if (!text.empty()) return text;
      std::this_thread::sleep_for(10ms);
    }
    return {};
  }

  // The wait status, or nothing when the tool is still running after `limit`.
  static std::optional<int> wait_for_end(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) return status;
      std::this_thread::sleep_for(5ms);
    }
    return std::nullopt;
  }

  testing::TempDir dir_;
  std::string log_ = dir_.file("tool.log");
  install_testing::ScopedEnv no_ignore_{"KELVOMA_FIXTURE_TOOL_IGNORE_SIGTERM", std::nullopt};
  install_testing::ScopedEnv no_exit_{"KELVOMA_FIXTURE_TOOL_EXIT_AFTER_MS", std::nullopt};
  install_testing::ScopedEnv no_log_{"KELVOMA_FIXTURE_TOOL_LOG", std::nullopt};
};

TEST_F(FixtureToolTest, RunsUntilSigtermAndLogsItsArguments) {
  const pid_t pid = start({"--log=" + log_, "--background", "--settings"});
  EXPECT_EQ(wait_for_log(),
            std::to_string(pid) + "\t--log=" + log_ + "\t--background\t--settings\n");
  EXPECT_FALSE(wait_for_end(pid, 200ms));
  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  const auto status = wait_for_end(pid, 5s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
}

TEST_F(FixtureToolTest, IgnoresSigtermWhenAsked) {
  for (const bool by_environment : {false, true}) {
    std::error_code ignored;
    std::filesystem::remove(log_, ignored);
    std::optional<install_testing::ScopedEnv> env;
    if (by_environment) env.emplace("KELVOMA_FIXTURE_TOOL_IGNORE_SIGTERM", "1");
    const pid_t pid =
        start(by_environment ? std::vector<std::string>{"--log=" + log_}
                             : std::vector<std::string>{"--ignore-sigterm", "--log=" + log_});
    ASSERT_FALSE(wait_for_log().empty());
    ::kill(pid, SIGTERM);
    EXPECT_FALSE(wait_for_end(pid, 300ms));
    ::kill(pid, SIGKILL);
    const auto status = wait_for_end(pid, 5s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL);
  }
}

TEST_F(FixtureToolTest, ExitsQuicklyWhenAsked) {
  for (const bool by_environment : {false, true}) {
    std::optional<install_testing::ScopedEnv> env;
    if (by_environment) env.emplace("KELVOMA_FIXTURE_TOOL_EXIT_AFTER_MS", "0");
    const pid_t pid =
        start(by_environment ? std::vector<std::string>{"--background"}
                             : std::vector<std::string>{"--exit-after-ms=0", "--settings"});
    const auto status = wait_for_end(pid, 5s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  }
  const pid_t later = start({"--exit-after-ms=150"});
  EXPECT_FALSE(wait_for_end(later, 50ms));
  const auto status = wait_for_end(later, 5s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
}

TEST_F(FixtureToolTest, BundlesCarryIt) {
  const auto bundle = fixture::make_bundle(dir_.path(), fixture::tool_bundle("pane-keeper", 4));
  EXPECT_EQ(bundle, std::filesystem::path(dir_.path()) / "Pane Keeper.app");
  const auto executable = bundle / "Contents/MacOS/fixture-tool";
  EXPECT_EQ(std::filesystem::file_size(executable),
            std::filesystem::file_size(fixture::fixture_tool_path()));
  EXPECT_EQ(std::filesystem::status(executable).permissions() & std::filesystem::perms::mask,
            std::filesystem::perms(0755));
}

}  // namespace
}  // namespace kelvoma
