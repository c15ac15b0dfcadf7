#include "ui/sort_rules.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "ui/cell_rules.h"

namespace {

using Rows = std::vector<std::size_t>;
using Rank = SortKey::Rank;

TEST(SortRules, ClicksCycleAscendingDescendingUnsorted) {
  SortState state;
  state = NextSortState(state, Column::kMax);
  EXPECT_EQ(state, (SortState{Column::kMax, false}));
  state = NextSortState(state, Column::kMax);
  EXPECT_EQ(state, (SortState{Column::kMax, true}));
  EXPECT_EQ(NextSortState(state, Column::kMax), SortState{});
  // Another column starts ascending, whatever the first one did.
  EXPECT_EQ(NextSortState(state, Column::kHost), (SortState{Column::kHost, false}));
}

TEST(SortRules, ValuesAsNumbersThenNoValueThenUnresolvedTiesInListOrder) {
  const std::vector<SortKey> keys = {
      {Rank::kNoValue, 0},     // 0: "- ms"
      {Rank::kValue, 10},      // 1
      {Rank::kUnresolved, 0},  // 2: "*"
      {Rank::kValue, 9},       // 3: before 10, unlike the texts
      {Rank::kValue, 10},      // 4: tie with 1
      {Rank::kNoValue, 0},     // 5
      {Rank::kValue, -1},      // 6: a count past 2^31 shows negative
  };
  EXPECT_EQ(SortedRows(keys, false), (Rows{6, 3, 1, 4, 0, 5, 2}));
  // Reversed: the values only; rows without one stay at the end, ties in list order.
  EXPECT_EQ(SortedRows(keys, true), (Rows{1, 4, 3, 6, 0, 5, 2}));
  EXPECT_TRUE(SortedRows({}, false).empty());
}

TEST(SortRules, StatisticsKeysAreTheNumbersTheCellsShow) {
  // Replies of 10 and 21 ms, then a timeout: total, replies, timeouts, largest, smallest.
  const TargetStats stats{31, 2, 1, 21, 10};
  const TargetStats huge{31, 0x80000000, 1, 21, 10};  // a reply count shown negative
  for (const TargetStats& shown : {TargetStats{}, stats, huge}) {
    const RowTexts cells = ResolvedRow("10.0.0.1", shown);
    for (int column = ColumnIndex(Column::kAverage); column < kColumnCount; ++column) {
      const SortKey key = StatsSortKey(shown, static_cast<Column>(column));
      // "- ms" and "-%" have no value; every other cell starts with its number.
      const bool none = cells[column][0] == '-' && !std::isdigit(cells[column][1]);
      EXPECT_EQ(key.rank, none ? Rank::kNoValue : Rank::kValue) << cells[column];
      EXPECT_EQ(key.value, none ? key.value : std::stoll(cells[column])) << cells[column];
    }
  }
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
