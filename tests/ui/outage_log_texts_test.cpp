#include "ui/outage_log_texts.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

constexpr HostState kUp = HostState::kUp, kLossy = HostState::kLossy, kDown = HostState::kDown;

TEST(OutageLogTexts, DurationsKeepTheTwoUnitsThatMatterAndNeverRoundUp) {
  EXPECT_EQ(OutageDurationText(999), "不到 1 秒");
  EXPECT_EQ(OutageDurationText(59999), "59 秒");
  EXPECT_EQ(OutageDurationText(60000), "1 分 0 秒");
  EXPECT_EQ(OutageDurationText(3599999), "59 分 59 秒");
  EXPECT_EQ(OutageDurationText(3959999), "1 小时 5 分");  // 1:05:59.999
  EXPECT_EQ(OutageDurationText(2 * 86400000LL + 3 * 3600000 + 59 * 60000), "2 天 3 小时");
}

// Runs a case in a time zone given the POSIX way, which needs no zone files.
class OutageLogInZone : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "CST-8", 1);  // UTC+8
    tzset();
  }
  void TearDown() override {
    unsetenv("TZ");
    tzset();
  }
};

TEST_F(OutageLogInZone, RowsAndTheirCopyShowLocalTimesAndARecoverysOutage) {
  // 2023-11-14 23:00:03.400 UTC, and a recovery of 3 min 12.3 s.
  const LogEntry recovery{7, 1700002803400, "h\xFF", kDown, kUp, 192300};
  const LogEntry fall{6, 1700002611100, "h1", kUp, kDown, std::nullopt};
  EXPECT_EQ(LocalTimeText(recovery.at_ms), "2023-11-15 07:00:03");
  EXPECT_EQ(LogTabSeparated({LogRow(recovery), LogRow(fall)}),
            "时间\t主机\t原状态\t新状态\t中断时长\n"
            "2023-11-15 07:00:03\th\xEF\xBF\xBD\t中断\t正常\t3 分 12 秒\n"
            "2023-11-15 06:56:51\th1\t正常\t中断\t\n");
}

TEST_F(OutageLogInZone, CsvHasOffsetsSafeHostsAndOutagesInSeconds) {
  const std::string text = LogCsvText({{7, 1700002803400, "=cmd,1", kDown, kLossy, 192300},
                                       {6, 1700002611100, "h1", kUp, kDown, std::nullopt}});
  EXPECT_EQ(text,
            "\xEF\xBB\xBF"
            "时间,主机,原状态,新状态,中断时长,中断时长 (秒)\r\n"
            "2023-11-15T07:00:03+08:00,\"'=cmd,1\",中断,丢包,3 分 12 秒,192.3\r\n"
            "2023-11-15T06:56:51+08:00,h1,正常,中断,,\r\n");
  EXPECT_EQ(LogCsvText({}, "\n"),
            "\xEF\xBB\xBF"
            "时间,主机,原状态,新状态,中断时长,中断时长 (秒)\n");
}

TEST(OutageLogSort, HostsSortNaturallyOutagesLeadAndTiesStayNewestFirst) {
  // Newest first, as the store reads them.
  const std::vector<LogEntry> log = {
      {4, 4000, "host10", kDown, kUp, 3000},
      {3, 3000, "host9", kUp, kDown, std::nullopt},
      {2, 2000, "host10", kUp, kLossy, std::nullopt},
      {1, 1000, "host9", kDown, kUp, 500},
  };
  using Order = std::vector<std::size_t>;
  EXPECT_EQ(SortedLog(log, {}), (Order{0, 1, 2, 3}));
  EXPECT_EQ(SortedLog(log, {LogColumn::kTime, false}), (Order{3, 2, 1, 0}));
  EXPECT_EQ(SortedLog(log, {LogColumn::kHost, false}), (Order{1, 3, 0, 2}));
  EXPECT_EQ(SortedLog(log, {LogColumn::kHost, true}), (Order{0, 2, 1, 3}));
  EXPECT_EQ(SortedLog(log, {LogColumn::kOutage, false}), (Order{3, 0, 1, 2}));
  EXPECT_EQ(SortedLog(log, {LogColumn::kOutage, true}), (Order{0, 3, 1, 2}));
  EXPECT_EQ(SortedLog(log, {LogColumn::kTo, false}), (Order{0, 3, 2, 1}));

  // A title clicked sorts ascending, again the other way; the time starts newest first.
  const LogSort host = NextLogSort({}, LogColumn::kHost);
  EXPECT_EQ(host, (LogSort{LogColumn::kHost, false}));
  EXPECT_EQ(NextLogSort(host, LogColumn::kHost), (LogSort{LogColumn::kHost, true}));
  EXPECT_EQ(NextLogSort(host, LogColumn::kTime), LogSort{});
}

}  // namespace
