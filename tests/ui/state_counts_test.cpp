#include "ui/state_counts.h"

#include <gtest/gtest.h>

namespace {

// Counts in the order of HostState: not yet, up, lossy, down, unresolved.
using Counts = StateBoard::Counts;

TEST(StateCounts, StatusTextGroupsThousandsAndLeavesOutEmptyStatesButUp) {
  EXPECT_EQ(GroupedCount(1234567), "1,234,567");
  EXPECT_EQ(StateCountsText(Counts{0, 9812, 165, 23, 2}),
            "正常 9,812 · 丢包 165 · 中断 23 · 未解析 2");
  EXPECT_EQ(StateCountsText(Counts{3, 0, 0, 0, 0}), "正常 0 · 等待 3");
  EXPECT_EQ(StateCountsText(Counts{1, 10000, 0, 1, 0}), "正常 10,000 · 中断 1 · 等待 1");
}

TEST(StateCounts, WorstStateRanksDownLossyUnresolvedWaitingUp) {
  EXPECT_EQ(WorstState(Counts{0, 7, 0, 0, 0}), HostState::kUp);
  EXPECT_EQ(WorstState(Counts{1, 7, 0, 0, 0}), HostState::kNotYet);
  EXPECT_EQ(WorstState(Counts{1, 7, 0, 0, 1}), HostState::kUnresolved);
  EXPECT_EQ(WorstState(Counts{1, 7, 1, 0, 1}), HostState::kLossy);
  EXPECT_EQ(WorstState(Counts{1, 7, 1, 1, 1}), HostState::kDown);
}

}  // namespace
