#include "ui/cell_rules.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "ui/utf8_text.h"

namespace {

TEST(CellRules, DelayCells) {
  EXPECT_EQ(DelayCell(37), "37 ms");
  EXPECT_EQ(DelayCell(0), "0 ms");
  EXPECT_EQ(DelayCell(0xFFFFFFFE), "4294967294 ms");
  EXPECT_EQ(DelayCell(0xFFFFFFFF), "- ms");
  EXPECT_EQ(AverageCell(0, 0), "- ms");
  EXPECT_EQ(AverageCell(31, 2), "15 ms");  // truncated
  // Only the low 32 bits of a huge mean are shown.
  EXPECT_EQ(AverageCell(0x100000005ULL, 1), "5 ms");
}

TEST(CellRules, LossIsTheTruncatedExactPercentage) {
  EXPECT_EQ(LossCell(0, 0), "-%");
  EXPECT_EQ(LossCell(0, 5), "0%");
  EXPECT_EQ(LossCell(1, 2), "33%");
  EXPECT_EQ(LossCell(2, 1), "66%");
  EXPECT_EQ(LossCell(29, 71), "29%");  // through doubles: 28%
  EXPECT_EQ(LossCell(57, 43), "57%");  // through doubles: 56%
  EXPECT_EQ(LossCell(29, 21), "58%");  // through doubles: 57%
  EXPECT_EQ(LossCell(7, 0), "100%");
  // Counters near their limit must not overflow the multiplication.
  EXPECT_EQ(LossCell(0x7FFFFFFF, 0x7FFFFFFF), "50%");
}

TEST(CellRules, CountsPrintAsSigned32Bit) {
  EXPECT_EQ(CountCell(0), "0");
  EXPECT_EQ(CountCell(12345), "12345");
  EXPECT_EQ(CountCell(0xFFFFFFFF), "-1");
}

TEST(CellRules, RowAfterTwoRepliesAndAfterATimeout) {
  TargetStats stats;
  stats.total_delay_ms = 31;
  stats.reply_count = 2;
  stats.max_delay_ms = 21;
  stats.min_delay_ms = 10;
  stats.last_delay_ms = 21;
  const RowTexts two_replies = {"10.0.0.1", "15 ms", "21 ms", "21 ms", "10 ms",
                                "0%",       "2",     "2",     "0"};
  EXPECT_EQ(ResolvedRow("10.0.0.1", stats), two_replies);

  stats.timeout_count = 1;
  stats.last_delay_ms = 0xFFFFFFFF;
  const RowTexts after_timeout = {"10.0.0.1", "15 ms", "- ms", "21 ms", "10 ms",
                                  "33%",      "3",     "2",    "1"};
  EXPECT_EQ(ResolvedRow("10.0.0.1", stats), after_timeout);
}

TEST(CellRules, RowOfAnUnresolvedTarget) {
  const RowTexts expected = {"*nothing.invalid", "*", "*", "*", "*", "*", "*", "*", "*"};
  EXPECT_EQ(UnresolvedRow("nothing.invalid"), expected);
}

TEST(CellRules, CopiedRowsAreTabSeparatedUnderTheTitles) {
  const std::string titles =
      "IP或域名\t平均延迟\t当前延迟\t最大延迟\t最小延迟\t丢包率\tping总数\t成功次数\t超时次数\n";
  EXPECT_EQ(TabSeparated({}), titles);
  EXPECT_EQ(TabSeparated({ResolvedRow("10.0.0.1", TargetStats{}), UnresolvedRow("x.invalid")}),
            titles + "10.0.0.1\t- ms\t- ms\t- ms\t- ms\t-%\t0\t0\t0\n" +
                "*x.invalid\t*\t*\t*\t*\t*\t*\t*\t*\n");
}

TEST(CellRules, HostTextThatIsNotUtf8KeepsItsValidPartsAndMarksTheRest) {
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  EXPECT_EQ(UnresolvedRow("bad-\xFF\xC0")[0], "*bad-" + r + r);
  EXPECT_EQ(ResolvedRow("\xE4\xB8\xAD.cn", TargetStats())[0], "\xE4\xB8\xAD.cn");
  EXPECT_EQ(ValidUtf8("\xF0\x9F\x98\x80 \xC3"), "\xF0\x9F\x98\x80 " + r) << "cut short";
  EXPECT_EQ(ValidUtf8("\xC0\xAF"), r + r) << "overlong";
  EXPECT_EQ(ValidUtf8("\xED\xA0\x80"), r + r + r) << "surrogate";
  EXPECT_EQ(ValidUtf8("\xF4\x90\x80\x80"), r + r + r + r) << "beyond U+10FFFF";
  EXPECT_EQ(ValidUtf8("\xE0\xA0\x80\xF4\x8F\xBF\xBF"), "\xE0\xA0\x80\xF4\x8F\xBF\xBF");
}

TEST(CellRules, WrappedTextBreaksAtSpacesSlashesAndCjkAndLosesNothingElse) {
  EXPECT_EQ(WrapText("short\nlines stay", 10), "short\nlines stay");
  EXPECT_EQ(WrapText("one two three", 7), "one two\nthree");
  EXPECT_EQ(WrapText("/abc/defgh/ij", 8), "/abc/\ndefgh/ij");
  EXPECT_EQ(WrapText("xxxxxxxxxx", 4), "xxxx\nxxxx\nxx");
  EXPECT_EQ(WrapText("无法写入文件", 6), "无法写\n入文件");
  EXPECT_EQ(WrapText("无法写入 abcdef：ok", 8), "无法写入\nabcdef：\nok");
  // A folder and a 250-byte name: every line fits, and all but spaces comes back.
  const std::string path = "/home/someone/exports/" + std::string(250, 'n') + ".csv";
  const std::string wrapped = WrapText("无法写入 " + path + "：File name too long", 60);
  std::string joined;
  std::size_t start = 0;
  for (std::size_t end; (end = wrapped.find('\n', start)) != std::string::npos; start = end + 1) {
    EXPECT_LE(end - start, 60u) << wrapped.substr(start, end - start);
    joined += wrapped.substr(start, end - start);
  }
  joined += wrapped.substr(start);
  joined.erase(std::remove(joined.begin(), joined.end(), ' '), joined.end());
  EXPECT_EQ(joined, "无法写入" + path + "：Filenametoolong");
}

}  // namespace
