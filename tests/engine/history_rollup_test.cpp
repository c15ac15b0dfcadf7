#include "engine/history_rollup.h"

#include <gtest/gtest.h>

#include "engine/history_blob.h"

namespace {

TEST(HistoryRollup, SummarizesAMinuteByHand) {
  // Replies 21, 30, 10, 40 with a timeout between 30 and 10.
  const DelaySummary s = HistoryRollup::Summarize({21, 30, kLostCode, 10, 40});
  EXPECT_EQ(s.count, 5u);
  EXPECT_EQ(s.lost, 1u);
  EXPECT_EQ(s.min_ms, 10u);
  EXPECT_EQ(s.max_ms, 40u);
  // 10 21 30 40: (21 + 30) / 2 = 25.5, rounded up.
  EXPECT_EQ(s.median_ms, 26u);
  // |30-21| + |10-30| + |40-10| = 59 over 3 pairs: 19.67 ms.
  EXPECT_EQ(s.jitter_tenths, 197u);

  const DelaySummary odd = HistoryRollup::Summarize({7, 3, 5});
  EXPECT_EQ(odd.median_ms, 5u);
  EXPECT_EQ(odd.jitter_tenths, 30u);  // (4 + 2) / 2
  const DelaySummary down = HistoryRollup::Summarize({kLostCode, kLostCode});
  EXPECT_EQ(down.count, 2u);
  EXPECT_EQ(down.lost, 2u);
  EXPECT_EQ(down.min_ms, 0u);
  EXPECT_EQ(down.max_ms, 0u);
}

TEST(HistoryRollup, MergesMinutesIntoAnHourByHand) {
  DelaySummary a{60, 10, 2, 5, 20, 50, 30};  // 8 replies, 7 pairs
  DelaySummary b{0, 4, 4, 0, 0, 0, 0};       // down all minute: no band, no median
  DelaySummary c{120, 6, 0, 8, 12, 90, 11};  // 5 pairs
  DelaySummary d{180, 2, 0, 30, 30, 30, 0};  // 1 pair
  const DelaySummary hour = HistoryRollup::Merge({a, b, c, d});
  EXPECT_EQ(hour.start_s, 0);
  EXPECT_EQ(hour.count, 22u);
  EXPECT_EQ(hour.lost, 6u);
  EXPECT_EQ(hour.min_ms, 5u);  // not b's empty 0
  EXPECT_EQ(hour.max_ms, 90u);
  EXPECT_EQ(hour.median_ms, 20u);  // of 20, 12, 30
  // (30 * 7 + 11 * 5 + 0 * 1) / 13 = 20.4 tenths.
  EXPECT_EQ(hour.jitter_tenths, 20u);
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
  EXPECT_EQ(back[0].start_s, 3600 + 5 * 60);
  EXPECT_EQ(back[0].count, 60u);
  EXPECT_EQ(back[0].max_ms, 3u);
  EXPECT_EQ(back[0].jitter_tenths, 4u);
  EXPECT_EQ(back[1].start_s, 3600 + 59 * 60);
  EXPECT_EQ(back[1].count, 127u);
  EXPECT_EQ(back[1].lost, 127u);
  EXPECT_EQ(back[1].median_ms, 8191u);

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
