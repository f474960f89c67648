// The progress rules on a clock of the test's own: phases forward only,
// each reported at once; within one, at most one report per interval unless
// the total is reached, never falling, never past the total.
#include "releases/install_progress.h"

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
  InstallPhase phase;
  std::uint64_t done;
  std::uint64_t total;
};

TEST(InstallProgressTest, ThrottlesWithinAPhaseAndNeverWithholdsAPhaseStart) {
  const std::vector<Step> steps = {
      {.at_ms = 0, .phase = InstallPhase::downloading, .done = 0, .total = 100},
      {.at_ms = 50, .phase = InstallPhase::downloading, .done = 10, .total = 100},
      {.at_ms = 100, .phase = InstallPhase::downloading, .done = 20, .total = 100},
      {.at_ms = 150, .phase = InstallPhase::downloading, .done = 30, .total = 100},
      {.at_ms = 160, .phase = InstallPhase::downloading, .done = 15, .total = 100},
      {.at_ms = 170, .phase = InstallPhase::downloading, .done = 101, .total = 100},
      {.at_ms = 171, .phase = InstallPhase::unpacking, .done = 0, .total = 7},
      {.at_ms = 172, .phase = InstallPhase::downloading, .done = 100, .total = 100},
      {.at_ms = 173, .phase = InstallPhase::unpacking, .done = 7, .total = 7},
      {.at_ms = 174, .phase = InstallPhase::unpacking, .done = 7, .total = 7},
      {.at_ms = 175, .phase = InstallPhase::checking, .done = 0, .total = 0},
      {.at_ms = 900, .phase = InstallPhase::checking, .done = 0, .total = 0},
  };
  std::vector<ProgressReport> sent;
  InstallProgress progress(install_testing::record_progress, &sent, &read_fake_now);
  for (const Step& step : steps) {
    fake_now = Clock::time_point(milliseconds(step.at_ms));
    progress.report(step.phase, step.done, step.total);
  }
  EXPECT_EQ(sent, (std::vector<ProgressReport>{
                      {0, 0, 100}, {0, 20, 100}, {0, 100, 100}, {1, 0, 7}, {1, 7, 7}, {2, 0, 0}}));
}

}  // namespace
}  // namespace kelvoma
