// Which targets an installation may write: compared component by component.
#include <gtest/gtest.h>

#include "install/install_paths.h"

namespace kelvoma {
namespace {

struct TargetCase {
  std::string target;
  std::string home;
  bool permitted;
};

// Test names in listings come from here, not from the bytes of the case.
void PrintTo(const TargetCase& c, std::ostream* out) { *out << '"' << c.target << '"'; }

class PermittedTargetTest : public ::testing::TestWithParam<TargetCase> {};

TEST_P(PermittedTargetTest, Decides) {
  EXPECT_EQ(is_permitted_target(GetParam().target, "Pane Keeper.app", GetParam().home),
            GetParam().permitted)
      << GetParam().target << " with home " << GetParam().home;
}

INSTANTIATE_TEST_SUITE_P(
    Targets, PermittedTargetTest,
    ::testing::Values(
        TargetCase{"/Applications/Pane Keeper.app", "/home/eva", true},
        TargetCase{"/home/eva/Applications/Pane Keeper.app", "/home/eva", true},
        TargetCase{"/home/eva/Applications/Pane Keeper.app", "/home/eva/", true},
        TargetCase{"//Applications//Pane Keeper.app", "/home/eva", true},
        TargetCase{"/Applications/Pane Keeper.app/", "/home/eva", true},
        TargetCase{"/Applications/Pane Keeper.app//", "/home/eva", true},
        TargetCase{"/./Applications/./Pane Keeper.app/.", "/home/eva", true},
        TargetCase{"/home//eva/Applications/Pane Keeper.app/", "/home/eva", true},
        TargetCase{"/home/eva/Applications/Pane Keeper.app", "//home/eva//", true},
        TargetCase{"/Applications/../Applications/Pane Keeper.app", "/home/eva", false},
        TargetCase{"/home/eva/../eva/Applications/Pane Keeper.app", "/home/eva", false},
        TargetCase{"/home/x/../eva/Applications/Pane Keeper.app", "/home/x/../eva", true},
        TargetCase{"/applications/Pane Keeper.app", "/home/eva", false},
        TargetCase{"/Applications/pane keeper.app", "/home/eva", false},
        TargetCase{"/Applications/Pane Keeper", "/home/eva", false},
        TargetCase{"/Applications/Pane Keeper.app/Contents", "/home/eva", false},
        TargetCase{"/Applications", "/home/eva", false},
        TargetCase{"Applications/Pane Keeper.app", "/home/eva", false},
        TargetCase{"/Users/Shared/Applications/Pane Keeper.app", "/home/eva", false},
        TargetCase{"/home/eva/Desktop/Pane Keeper.app", "/home/eva", false},
        TargetCase{"/home/adam/Applications/Pane Keeper.app", "/home/eva", false},
        TargetCase{"", "/home/eva", false}, TargetCase{"/", "/home/eva", false}));

TEST(PermittedTarget, JoiningAddsOneSeparatorOnlyWhenNeeded) {
  EXPECT_TRUE(is_permitted_target("/Applications/A.app", "A.app", ""));
  EXPECT_TRUE(is_permitted_target("/Applications/A.app", "A.app", "/"));
  EXPECT_TRUE(is_permitted_target("/x/Applications/A.app", "A.app", "/x/"));
  EXPECT_FALSE(is_permitted_target("/xApplications/A.app", "A.app", "/x"));
}

}  // namespace
}  // namespace kelvoma
