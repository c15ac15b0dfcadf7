#include "ui/sort_rules.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Rows = std::vector<std::size_t>;

TEST(SortRules, ClicksCycleAscendingDescendingUnsorted) {
  SortState state;
  state = NextSortState(state, 3);
  EXPECT_EQ(state, (SortState{3, false}));
  state = NextSortState(state, 3);
  EXPECT_EQ(state, (SortState{3, true}));
  EXPECT_EQ(NextSortState(state, 3), SortState{});
  // Another column starts ascending, whatever the first one did.
  EXPECT_EQ(NextSortState(state, 0), (SortState{0, false}));
}

TEST(SortRules, ValuesAsNumbersThenNoValueThenUnresolvedTiesInListOrder) {
  const std::vector<SortKey> keys = {
      {SortKey::kNoValue, 0},     // 0: "- ms"
      {SortKey::kValue, 10},      // 1
      {SortKey::kUnresolved, 0},  // 2: "*"
      {SortKey::kValue, 9},       // 3: before 10, unlike the texts
      {SortKey::kValue, 10},      // 4: tie with 1
      {SortKey::kNoValue, 0},     // 5
      {SortKey::kValue, -1},      // 6: a count past 2^31 shows negative
  };
  EXPECT_EQ(SortedRows(keys, false), (Rows{6, 3, 1, 4, 0, 5, 2}));
  // Reversed: the values only; rows without one stay at the end, ties in list order.
  EXPECT_EQ(SortedRows(keys, true), (Rows{1, 4, 3, 6, 0, 5, 2}));
  EXPECT_TRUE(SortedRows({}, false).empty());
}

TEST(SortRules, StatisticsKeysAreTheNumbersTheCellsShow) {
  TargetStats fresh;
  for (int column = 1; column <= 5; ++column) {
    EXPECT_EQ(StatsSortKey(fresh, column).rank, SortKey::kNoValue) << column;
  }
  EXPECT_EQ(StatsSortKey(fresh, 6).value, 0);

  TargetStats stats;
  stats.total_delay_ms = 31;
  stats.reply_count = 2;
  stats.timeout_count = 1;
  stats.max_delay_ms = 21;
  stats.min_delay_ms = 10;
  stats.last_delay_ms = 0xFFFFFFFF;
  const std::int64_t expected[] = {0, 15, -1, 21, 10, 33, 3, 2, 1};
  for (int column = 1; column <= 8; ++column) {
    const SortKey key = StatsSortKey(stats, column);
    if (column == 2) {
      EXPECT_EQ(key.rank, SortKey::kNoValue);
    } else {
      EXPECT_EQ(key.rank, SortKey::kValue) << column;
      EXPECT_EQ(key.value, expected[column]) << column;
    }
  }
  stats.reply_count = 0x80000000;  // shown as a negative count
  EXPECT_LT(StatsSortKey(stats, 7).value, 0);
}

TEST(SortRules, HostsInNaturalOrderUnresolvedLast) {
  const std::vector<std::string> hosts = {"10.0.0.10", "B.example", "a.example", "10.0.0.9",
                                          "10.0.0.10", "0.invalid", "10.0.0.010"};
  const std::vector<bool> resolved = {true, true, true, true, true, false, true};
  const std::vector<SortKey> keys = HostSortKeys(hosts, resolved);
  // 10.0.0.10 and 10.0.0.010 name one number: a tie, kept in list order.
  EXPECT_EQ(SortedRows(keys, false), (Rows{3, 0, 4, 6, 2, 1, 5}));
  EXPECT_EQ(SortedRows(keys, true), (Rows{1, 2, 0, 4, 6, 3, 5}));
}

}  // namespace
