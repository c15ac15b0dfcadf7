#include "ui/range_marks.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

// start_s, count, lost, min_ms, median_ms, max_ms.
using Bucket = DelaySummary;

TEST(RangeMarks, BandsNeedTwoRepliesAndLossTicksGrowWithTheShareLost) {
  const BucketMarks full = MarksOf(Bucket{0, 10, 0, 5, 7, 20}, 16);
  EXPECT_TRUE(full.band && full.median);
  EXPECT_FALSE(full.loss || full.all_lost);
  const BucketMarks single = MarksOf(Bucket{0, 1, 0, 7, 7, 7}, 16);
  EXPECT_FALSE(single.band);
  EXPECT_TRUE(single.median);
  EXPECT_EQ(MarksOf(Bucket{0, 10, 3, 5, 7, 20}, 16).loss_height, 5);  // 4.8 up
  const BucketMarks one_in_100 = MarksOf(Bucket{0, 100, 1, 5, 7, 20}, 16);
  EXPECT_TRUE(one_in_100.loss);
  EXPECT_FALSE(one_in_100.all_lost);
  EXPECT_EQ(one_in_100.loss_height, 2);  // 0.16, but it must show
  const BucketMarks down = MarksOf(Bucket{0, 4, 4}, 16);
  EXPECT_TRUE(down.all_lost && down.loss);
  EXPECT_FALSE(down.median || down.band);
  EXPECT_EQ(down.loss_height, 16);
  const BucketMarks none = MarksOf(Bucket{0, 0, 0}, 16);
  EXPECT_FALSE(none.band || none.median || none.loss || none.all_lost);
}

// Runs a case in a time zone given the POSIX way, which needs no zone files.
class RangeCsv : public ::testing::Test {
 protected:
  void InZone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }
  void TearDown() override {
    unsetenv("TZ");
    tzset();
  }
};

TEST_F(RangeCsv, TimesAreLocalWithTheirOffset) {
  // 2023-11-14 23:00:00 UTC.
  InZone("CST-8");
  EXPECT_EQ(IsoLocalTime(1700002800), "2023-11-15T07:00:00+08:00");
  InZone("NST3:30");
  EXPECT_EQ(IsoLocalTime(1700002800), "2023-11-14T19:30:00-03:30");
  InZone("UTC0");
  EXPECT_EQ(IsoLocalTime(1700002859), "2023-11-14T23:00:59+00:00");
}

TEST_F(RangeCsv, RowsQuoteHostsAndLeaveDelaysEmptyWithoutReplies) {
  InZone("CST-8");
  const std::string text = RangeCsvText(
      {{"=cmd", Bucket{1700002800, 60, 2, 9, 11, 40}}, {"a,b", Bucket{1700002860, 60, 60}}});
  EXPECT_EQ(text,
            "\xEF\xBB\xBF"
            "IP或域名,时间,ping总数,超时次数,最小延迟 (ms),中位延迟 (ms),最大延迟 (ms)\r\n"
            "'=cmd,2023-11-15T07:00:00+08:00,60,2,9,11,40\r\n"
            "\"a,b\",2023-11-15T07:01:00+08:00,60,60,,,\r\n");
}

}  // namespace
