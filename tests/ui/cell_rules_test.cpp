#include "ui/cell_rules.h"

#include <gtest/gtest.h>

namespace {

TEST(CellRules, DelayAndCountCells) {
  EXPECT_EQ(DelayCell(0), "0 ms");
  EXPECT_EQ(DelayCell(0xFFFFFFFE), "4294967294 ms");
  EXPECT_EQ(DelayCell(DelayTarget::kNone), "- ms");
  EXPECT_EQ(AverageCell(0, 0), "- ms");
  EXPECT_EQ(AverageCell(31, 2), "15 ms");  // truncated
  // Only the low 32 bits of a huge mean are shown.
  EXPECT_EQ(AverageCell(0x100000005ULL, 1), "5 ms");
  EXPECT_EQ(CountCell(0xFFFFFFFF), "-1") << "counts print as signed 32-bit numbers";
}

TEST(CellRules, LossIsTheTruncatedExactPercentage) {
  EXPECT_EQ(LossCell(0, 0), "-%");
  EXPECT_EQ(LossCell(2, 1), "66%");
  EXPECT_EQ(LossCell(29, 71), "29%");  // through doubles: 28%
  EXPECT_EQ(LossCell(7, 0), "100%");
  // Counters near their limit must not overflow the multiplication.
  EXPECT_EQ(LossCell(0x7FFFFFFF, 0x7FFFFFFF), "50%");
}

TEST(CellRules, RowAfterTwoRepliesAndATimeoutAndOfAnUnresolvedTarget) {
  // Total, replies, timeouts, largest and smallest delay.
  const TargetStats stats{31, 2, 1, 21, 10};
  const RowTexts after_timeout = {"10.0.0.1", "15 ms", "- ms", "21 ms", "10 ms",
                                  "33%",      "3",     "2",    "1"};
  EXPECT_EQ(ResolvedRow("10.0.0.1", stats), after_timeout);
  const RowTexts unresolved = {"*nothing.invalid", "*", "*", "*", "*", "*", "*", "*", "*"};
  EXPECT_EQ(UnresolvedRow("nothing.invalid"), unresolved);
  // Host texts that are not UTF-8 keep their valid parts (the rules: utf8_text_test).
  EXPECT_EQ(UnresolvedRow("bad-\xFF")[ColumnIndex(Column::kHost)], "*bad-\xEF\xBF\xBD");
  EXPECT_EQ(ResolvedRow("\xE4\xB8\xAD.\xFF", stats)[ColumnIndex(Column::kHost)],
            "\xE4\xB8\xAD.\xEF\xBF\xBD");
}

TEST(CellRules, CopiedRowsAreTabSeparatedUnderTheTitles) {
  const std::string titles =
      "IP或域名\t平均延迟\t当前延迟\t最大延迟\t最小延迟\t丢包率\tping总数\t成功次数\t超时次数\n";
  EXPECT_EQ(TabSeparated({}), titles);
  EXPECT_EQ(TabSeparated({ResolvedRow("10.0.0.1", TargetStats{}), UnresolvedRow("x.invalid")}),
            titles + "10.0.0.1\t- ms\t- ms\t- ms\t- ms\t-%\t0\t0\t0\n" +
                "*x.invalid\t*\t*\t*\t*\t*\t*\t*\t*\n");
}

}  // namespace
