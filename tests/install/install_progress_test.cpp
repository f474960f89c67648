// The progress rules, on a clock of the test's own.
#include "install/install_progress.h"

#include <gtest/gtest.h>

#include <vector>

#include "install/install_helpers.h"

namespace kelvoma {
namespace {

using Clock = InstallProgress::Clock;
using install_testing::ProgressReport;
using std::chrono::milliseconds;

Clock::time_point fake_now;
Clock::time_point read_fake_now() { return fake_now; }

struct Step {
  int at_ms;
  ProgressReport report;
};

TEST(InstallProgressTest, ThrottlesWithinAPhaseAndNeverWithholdsAPhaseStart) {
  const std::vector<Step> steps = {
      {.at_ms = 0, .report = {0, 0, 100}},    {.at_ms = 50, .report = {0, 10, 100}},
      {.at_ms = 100, .report = {0, 20, 100}}, {.at_ms = 150, .report = {0, 30, 100}},
      {.at_ms = 160, .report = {0, 15, 100}}, {.at_ms = 170, .report = {0, 101, 100}},
      {.at_ms = 171, .report = {1, 0, 7}},    {.at_ms = 172, .report = {0, 100, 100}},
      {.at_ms = 173, .report = {1, 7, 7}},    {.at_ms = 174, .report = {1, 7, 7}},
      {.at_ms = 175, .report = {2, 0, 0}},    {.at_ms = 900, .report = {2, 0, 0}},
  };
  std::vector<ProgressReport> sent;
  InstallProgress progress(install_testing::record_progress, &sent, &read_fake_now);
  for (const Step& step : steps) {
    fake_now = Clock::time_point(milliseconds(step.at_ms));
    progress.report(static_cast<InstallPhase>(step.report.phase), step.report.done,
                    step.report.total);
  }
  EXPECT_EQ(sent, (std::vector<ProgressReport>{
                      {0, 0, 100}, {0, 20, 100}, {0, 100, 100}, {1, 0, 7}, {1, 7, 7}, {2, 0, 0}}));
}

}  // namespace
}  // namespace kelvoma
