// The progress rules on a clock of the test's own: phases forward only,
// each reported at once; within one, at most one report per interval unless
// the total is reached, never falling, never past the total.
#include "releases/install_progress.h"

#include <gtest/gtest.h>

#include <vector>

namespace kelvoma {
namespace {

using Clock = InstallProgress::Clock;
using std::chrono::milliseconds;

Clock::time_point fake_now;
Clock::time_point read_fake_now() { return fake_now; }

struct Sent {
  std::int32_t phase;
  std::uint64_t done;
  std::uint64_t total;
  bool operator==(const Sent&) const = default;
};

void record(void* sent, std::int32_t phase, std::uint64_t done, std::uint64_t total) {
  static_cast<std::vector<Sent>*>(sent)->push_back({phase, done, total});
}

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
      {.at_ms = 260, .phase = InstallPhase::downloading, .done = 15, .total = 100},
      {.at_ms = 270, .phase = InstallPhase::downloading, .done = 101, .total = 100},
      {.at_ms = 271, .phase = InstallPhase::unpacking, .done = 0, .total = 7},
      {.at_ms = 272, .phase = InstallPhase::downloading, .done = 100, .total = 100},
      {.at_ms = 273, .phase = InstallPhase::unpacking, .done = 7, .total = 7},
      {.at_ms = 274, .phase = InstallPhase::unpacking, .done = 7, .total = 7},
      {.at_ms = 275, .phase = InstallPhase::checking, .done = 0, .total = 0},
      {.at_ms = 900, .phase = InstallPhase::checking, .done = 0, .total = 0},
  };
  std::vector<Sent> sent;
  InstallProgress progress(record, &sent, &read_fake_now);
  for (const Step& step : steps) {
    fake_now = Clock::time_point(milliseconds(step.at_ms));
    progress.report(step.phase, step.done, step.total);
  }
  EXPECT_EQ(sent, (std::vector<Sent>{
                      {0, 0, 100}, {0, 20, 100}, {0, 100, 100}, {1, 0, 7}, {1, 7, 7}, {2, 0, 0}}));
}

}  // namespace
}  // namespace kelvoma
