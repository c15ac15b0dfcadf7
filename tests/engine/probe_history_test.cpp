#include "engine/probe_history.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using Clock = ProbeHistory::Clock;
using std::chrono::milliseconds;

TEST(ProbeHistory, KeepsTheLatestProbesAcrossTheWrap) {
  auto history = std::make_unique<ProbeHistory>();
  EXPECT_TRUE(history->Snapshot().empty());
  const Clock::time_point t0 = Clock::now();
  // One more than fits, a second apart; every seventh one timed out.
  const auto delay = [](std::size_t i) {
    return i % 7 ? std::optional<std::uint32_t>(i % 100) : std::nullopt;
  };
  const std::size_t total = ProbeHistory::kCapacity + 1;
  for (std::size_t i = 0; i < total; ++i) {
    history->Add(t0 + milliseconds(1000 * i + 5), delay(i));
  }
  const auto probes = history->Snapshot();
  ASSERT_EQ(probes.size(), ProbeHistory::kCapacity);
  // The first probe went; times come back to 10 ms from the first one kept.
  for (std::size_t k = 0; k < probes.size(); ++k) {
    EXPECT_EQ(probes[k].delay_ms, delay(k + 1)) << k;
  }
  const auto error = probes.back().sent - (t0 + milliseconds(1000 * (total - 1) + 5));
  EXPECT_LT(std::chrono::abs(error), milliseconds(10));
  EXPECT_EQ(probes.back().sent - probes.front().sent, milliseconds(1000 * (total - 2)));

  // The writer's copy: only what is newer than a time, the same as the snapshot's tail,
  // appended after what the vector holds; nothing after the newest.
  std::vector<ProbeHistory::Probe> since(1);
  EXPECT_EQ(history->ProbesSince(probes[probes.size() - 4].sent, since), 3u);
  ASSERT_EQ(since.size(), 4u);
  for (std::size_t k = 1; k < 4; ++k) {
    EXPECT_EQ(since[k].sent, probes[probes.size() - 4 + k].sent);
    EXPECT_EQ(since[k].delay_ms, probes[probes.size() - 4 + k].delay_ms);
  }
  EXPECT_EQ(history->ProbesSince(probes.back().sent, since), 0u);
  since.clear();
  EXPECT_EQ(history->ProbesSince(Clock::time_point::min(), since), ProbeHistory::kCapacity);
}

TEST(ProbeHistory, FiguresOfHandWorkedRuns) {
  const Clock::time_point t0;
  auto probe = [t0](int second, std::optional<std::uint32_t> delay) {
    return ProbeHistory::Probe{t0 + std::chrono::seconds(second), delay};
  };
  // Delays 10, 20, (timeout), 40, 10: consecutive differences 10, 20, 30 -> jitter 20;
  // mean 20, squares 100+400+1600+100 = 2200 / 4 = 550 - 400 = 150 -> deviation 12.247;
  // up, down, up: two changes.
  const HistoryFigures f =
      Summarize({probe(0, 10), probe(1, 20), probe(2, std::nullopt), probe(7, 40), probe(8, 10)});
  EXPECT_EQ(f.replies, 4u);
  EXPECT_EQ(f.timeouts, 1u);
  EXPECT_DOUBLE_EQ(*f.jitter_ms, 20.0);
  EXPECT_NEAR(*f.deviation_ms, 12.2474, 1e-4);
  EXPECT_EQ(f.state_changes, 2u);

  // One reply has a deviation of 0 and no jitter; only timeouts have neither.
  const HistoryFigures one = Summarize({probe(0, std::nullopt), probe(5, 33)});
  EXPECT_FALSE(one.jitter_ms);
  EXPECT_DOUBLE_EQ(*one.deviation_ms, 0.0);
  EXPECT_EQ(one.state_changes, 1u);
  const HistoryFigures none = Summarize({probe(0, std::nullopt), probe(5, std::nullopt)});
  EXPECT_FALSE(none.jitter_ms || none.deviation_ms);
  EXPECT_EQ(none.state_changes, 0u);
}

}  // namespace
