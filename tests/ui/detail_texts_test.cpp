#include "ui/detail_texts.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

TEST(DetailTexts, CsvHasTitlesThenOneLinePerRowInOrder) {
  ExportRow first;
  first.cells.fill("0");
  first.cells[ColumnIndex(Column::kHost)] = "host,\"x\"";
  first.details.fill("-");
  first.details[DetailIndex(DetailField::kState)] = "中断 自 12:03:14，持续 4 分 10 秒";
  first.details[DetailIndex(DetailField::kAddress)] = "two\nlines";
  ExportRow second;
  second.cells.fill("*");
  second.cells[ColumnIndex(Column::kHost)] = "*测试";
  second.details.fill("*");
  const std::string text = CsvText({first, second});

  const std::string bom = "\xEF\xBB\xBF";
  const std::string titles =
      "IP或域名,平均延迟,当前延迟,最大延迟,最小延迟,丢包率,ping总数,成功次数,超时次数,"
      "探测地址,抖动,标准差,重复回复,迟到回复,最近回复时间,状态\r\n";
  const std::string line1 =
      "\"host,\"\"x\"\"\",0,0,0,0,0,0,0,0,\"two\nlines\",-,-,-,-,-,中断 自 12:03:14，持续 4 分 10 "
      "秒\r\n";
  const std::string line2 = "*测试,*,*,*,*,*,*,*,*,*,*,*,*,*,*,*\r\n";
  EXPECT_EQ(text, bom + titles + line1 + line2);
  EXPECT_EQ(CsvText({}, "\n"), bom + titles.substr(0, titles.size() - 2) + "\n");
}

TEST(DetailTexts, HostsThatASpreadsheetWouldRunAreExportedAsText) {
  ExportRow row;
  row.cells.fill("- ms");
  row.details.fill("-");
  const auto line = [&row](const std::string& host) {
    row.cells[ColumnIndex(Column::kHost)] = host;
    const std::string text = CsvText({row}, "\n");
    return text.substr(text.find('\n') + 1);
  };
  const std::string rest = ",- ms,- ms,- ms,- ms,- ms,- ms,- ms,- ms,-,-,-,-,-,-,-\n";
  EXPECT_EQ(line("=HYPERLINK(\"http://x\")"), "\"'=HYPERLINK(\"\"http://x\"\")\"" + rest);
  EXPECT_EQ(line("-2+3"), "'-2+3" + rest);
  EXPECT_EQ(line("@SUM(A1)"), "'@SUM(A1)" + rest);
  EXPECT_EQ(line("\r=1"), "\"'\r=1\"" + rest);
  // Other texts, and every other column (where '- ms' starts with a minus), as they are.
  EXPECT_EQ(line("a=1"), "a=1" + rest);
  EXPECT_EQ(line("*=1"), "*=1" + rest);
}

TEST(DetailTexts, FiguresAndStateTexts) {
  EXPECT_EQ(MillisText(std::nullopt), "-");
  EXPECT_EQ(MillisText(1.25), "1.2 ms");
  EXPECT_EQ(DurationText(-1), "0 秒");  // clocks read a moment apart
  EXPECT_EQ(DurationText(3600), "1 小时 0 分 0 秒");
  EXPECT_EQ(DurationText(90061), "25 小时 1 分 1 秒");
  EXPECT_EQ(StateText(false, "12:03:14", 250), "中断 自 12:03:14，持续 4 分 10 秒");
  EXPECT_EQ(StateText(true, "08:00:00", 5), "正常 自 08:00:00，持续 5 秒");

  // An address that never changed, and one a look-up moved, in local time (UTC+8).
  EXPECT_EQ(AddressText("203.0.113.5", 0, ""), "203.0.113.5");
  setenv("TZ", "CST-8", 1);
  tzset();
  EXPECT_EQ(AddressText("203.0.113.5", 1796697065999, "198.51.100.7"),
            "203.0.113.5（12-08 10:31:05 起，此前 198.51.100.7）");
  unsetenv("TZ");
  tzset();
}

}  // namespace
