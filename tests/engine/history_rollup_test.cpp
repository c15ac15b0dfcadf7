#include "engine/history_rollup.h"

#include <gtest/gtest.h>

#include <sstream>

#include "engine/history_blob.h"

namespace {

// A summary's fields in one line, in the order of the struct.
std::string Text(const DelaySummary& s) {
  std::ostringstream out;
  out << "start " << s.start_s << " count " << s.count << " lost " << s.lost << " min " << s.min_ms
      << " median " << s.median_ms << " max " << s.max_ms << " jitter " << s.jitter_tenths;
  return out.str();
}

TEST(HistoryRollup, SummarizesAMinuteByHand) {
  // Replies 21, 30, 10, 40 with a timeout between 30 and 10: 10 21 30 40 has the median
  // (21 + 30) / 2 = 25.5, rounded up; |30-21| + |10-30| + |40-10| = 59 over 3 pairs.
  EXPECT_EQ(Text(HistoryRollup::Summarize({21, 30, kLostCode, 10, 40})),
            "start 0 count 5 lost 1 min 10 median 26 max 40 jitter 197");
  // Jitter (4 + 2) / 2.
  EXPECT_EQ(Text(HistoryRollup::Summarize({7, 3, 5})),
            "start 0 count 3 lost 0 min 3 median 5 max 7 jitter 30");
  EXPECT_EQ(Text(HistoryRollup::Summarize({kLostCode, kLostCode})),
            "start 0 count 2 lost 2 min 0 median 0 max 0 jitter 0");
}

TEST(HistoryRollup, MergesMinutesIntoAnHourByHand) {
  DelaySummary a{60, 10, 2, 5, 20, 50, 30};  // 8 replies, 7 pairs
  DelaySummary b{0, 4, 4, 0, 0, 0, 0};       // down all minute: no band, no median
  DelaySummary c{120, 6, 0, 8, 12, 90, 11};  // 5 pairs
  DelaySummary d{180, 2, 0, 30, 30, 30, 0};  // 1 pair
  // Min 5, not b's empty 0; the median of 20, 12, 30; jitter (30 * 7 + 11 * 5 + 0 * 1) / 13
  // = 20.4 tenths.
  EXPECT_EQ(Text(HistoryRollup::Merge({a, b, c, d})),
            "start 0 count 22 lost 6 min 5 median 20 max 90 jitter 20");
}

TEST(HistoryBlob, PacksRecordsBitByBit) {
  HistoryBlob::Bytes block;
  HistoryBlob::AppendSummary(block, HistoryBlob::kMinutes, 5, {0, 60, 2, 1, 2, 3, 4});
  const HistoryBlob::Bytes expected{0x05, 0x4F, 0x10, 0x00, 0x04, 0xC0, 0x00, 0x20, 0x00};
  EXPECT_EQ(block, expected);
  // Past its field a value is kept as the largest; lost never above count.
  HistoryBlob::AppendSummary(block, HistoryBlob::kMinutes, 59, {0, 200, 150, 9, 20000, 40, 1});
  std::vector<DelaySummary> back;
  ASSERT_TRUE(
      HistoryBlob::DecodeSummaries(block.data(), block.size(), HistoryBlob::kMinutes, 3600, back));
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(Text(back[0]), "start 3900 count 60 lost 2 min 1 median 2 max 3 jitter 4");
  EXPECT_EQ(Text(back[1]), "start 7140 count 127 lost 127 min 9 median 8191 max 40 jitter 1");

  HistoryBlob::Bytes probes;
  HistoryBlob::AppendProbe(probes, {12, 300});
  EXPECT_EQ(probes, (HistoryBlob::Bytes{0x2C, 0x01, 0x03}));
}

TEST(HistoryBlob, RefusesDamagedBlocksWhole) {
  std::vector<HistoryBlob::Probe> probes;
  const HistoryBlob::Bytes cut{0x2C, 0x01, 0x03, 0x00};
  EXPECT_FALSE(HistoryBlob::DecodeProbes(cut.data(), cut.size(), probes));
  // The second one names 60.0 s into a minute.
  const HistoryBlob::Bytes late{0x2C, 0x01, 0x03, 0x00, 0x00, 0x96};
  EXPECT_FALSE(HistoryBlob::DecodeProbes(late.data(), late.size(), probes));
  EXPECT_TRUE(probes.empty());

  std::vector<DelaySummary> records;
  HistoryBlob::Bytes hours;
  HistoryBlob::AppendSummary(hours, HistoryBlob::kHours, 23, {0, 3600, 0, 1, 1, 1, 0});
  EXPECT_TRUE(
      HistoryBlob::DecodeSummaries(hours.data(), hours.size(), HistoryBlob::kHours, 0, records));
  hours[0] = 24;  // hour 24 of a day
  EXPECT_FALSE(
      HistoryBlob::DecodeSummaries(hours.data(), hours.size(), HistoryBlob::kHours, 0, records));
  EXPECT_EQ(records.size(), 1u);
}

}  // namespace
