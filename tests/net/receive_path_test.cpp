// What the receive path makes of replies that come, or are read, at awkward times: amid a
// flood of foreign replies, while the engine is stopped (SIGSTOP) and replies queue up in
// its socket, and into a receive buffer too small for a burst, whose drops the system counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "tests/net/bench_run.h"

namespace {

// The first count addresses of the test range from 198.18.first.1 on, 250 to each /24.
std::vector<std::string> Addresses(int first, int count) {
  std::vector<std::string> lines;
  for (int i = 0; i < count; ++i) {
    lines.push_back("198.18." + std::to_string(first + i / 250) + "." +
                    std::to_string(1 + i % 250));
  }
  return lines;
}

// 10,000 foreign echo replies a second: every datagram passes through the receive path,
// yet no reply to the engine's own requests may be lost or measured late.
TEST(Flood, NoReplyIsLostAndDelaysStayRight) {
  constexpr double kSeconds = 12, kFloodRate = 10000;
  std::vector<std::string> config = Addresses(4, 20);
  const std::vector<std::string> slow = Addresses(5, 5);
  config.insert(config.end(), slow.begin(), slow.end());
  BenchOptions options;
  options.flood_rate = kFloodRate;
  const BenchRun run(config, "198.18.4.0/24 delay=10\n198.18.5.0/24 delay=100\n", kSeconds,
                     options);
  ASSERT_EQ(run.status, 0) << run.output;
  ASSERT_EQ(run.targets.size(), config.size()) << run.output;
  // The flood really ran at its rate for the whole run.
  EXPECT_GE(run.responder_summary.at("flood_sent"), 0.9 * kFloodRate * kSeconds);
  // The kernel keeps replies to other identifiers away from the engine's socket: only
  // the few whose random identifier happens to be one of ours get through.
  EXPECT_LT(run.engine_summary.at("foreign"), 0.01 * run.responder_summary.at("flood_sent"));
  for (const EngineTarget& t : run.targets) {
    const ProberRecord* r = run.RecordFor(t);
    ASSERT_NE(r, nullptr) << t.host;
    EXPECT_TRUE(BenchRun::CountsMatch(t, *r));
    EXPECT_EQ(t.timeouts, 0u) << t.host << ": a reply was lost in the flood";
    EXPECT_LE(r->max_early_ms, LUMORET_NET_EARLY_MS) << t.host;
    const double delay = t.host.rfind("198.18.4.", 0) == 0 ? 10 : 100;
    ASSERT_TRUE(t.average && t.min) << t.host;
    EXPECT_GE(*t.min + 1 + LUMORET_NET_EARLY_MS, delay) << t.host;
    EXPECT_LE(*t.min, delay + 1) << t.host;
    EXPECT_NEAR(*t.average, delay, 1 + LUMORET_NET_SLACK_MS) << t.host;
  }
}

// The engine stopped for a while as its targets answer in 3 s: every reply waits stamped
// in the socket, and counts with the delay the responder gave it, however long the stop.
// Each row: targets, seconds stopped at 6 s (while the second round's replies come), and
// seconds of the run. Some 2,000 replies queue up during the first stop, many batches of
// reading; the second is longer than any age at which a kernel stamp might be taken for a
// step of the clock.
TEST(Stall, RepliesQueuedDuringAStopKeepTheirDelaysAndMakeNoTimeout) {
  for (const auto& [targets, stop_for, seconds] :
       {std::tuple{2000, 12, 20}, std::tuple{50, 65, 73}}) {
    SCOPED_TRACE(std::to_string(targets) + " targets stopped for " + std::to_string(stop_for) +
                 " s");
    BenchOptions options;
    options.stop_at = 6;
    options.stop_for = stop_for;
    const BenchRun run(Addresses(8, targets), "198.18.0.0/16 delay=3000\n", seconds, options);
    ASSERT_EQ(run.status, 0) << run.output;
    ASSERT_EQ(run.targets.size(), static_cast<std::size_t>(targets)) << run.output;
    std::uint64_t replies = 0, timeouts = 0;
    std::uint32_t max_delay = 0;
    for (const EngineTarget& t : run.targets) {
      const ProberRecord* r = run.RecordFor(t);
      ASSERT_NE(r, nullptr) << t.host;
      EXPECT_TRUE(BenchRun::CountsMatch(t, *r));
      replies += t.replies;
      timeouts += t.timeouts;
      max_delay = std::max(max_delay, t.max.value_or(0));
    }
    EXPECT_EQ(timeouts, 0u) << "replies that came in time were run out as timeouts";
    EXPECT_GE(replies, static_cast<std::uint64_t>(targets))
        << "the replies queued during the stop were not counted";
    EXPECT_LE(max_delay, 3000 + 1 + 25 * LUMORET_NET_SLACK_MS)
        << "a delay longer than the responder gave";
    EXPECT_EQ(run.engine_summary.at("stalls"), 1);
  }
}

// A burst of replies into a receive buffer too small for it: the system drops most, and
// the engine counts each drop, which shows as its request's timeout. The parameter:
// whether the engine runs without rights, on datagram sockets.
class KernelDrops : public ::testing::TestWithParam<bool> {};

TEST_P(KernelDrops, AreCountedAndMatchTheTimeouts) {
  constexpr int kTargets = 2000;
  BenchOptions options;
  options.unprivileged = GetParam();
  options.receive_buffer = 16384;
  // Requests at 0 s; the dropped replies' timeouts at 5 s.
  const BenchRun run(Addresses(8, kTargets), "198.18.0.0/16 delay=20\n", 7, options);
  ASSERT_EQ(run.status, 0) << run.output;
  ASSERT_EQ(run.targets.size(), static_cast<std::size_t>(kTargets)) << run.output;
  ASSERT_EQ(run.mode, GetParam() ? "datagram" : "raw") << run.output;
  std::uint64_t timeouts = 0, open = 0;
  for (const EngineTarget& t : run.targets) {
    const ProberRecord* r = run.RecordFor(t);
    ASSERT_NE(r, nullptr) << t.host;
    ASSERT_EQ(t.sent, r->requests) << t.host << ": a request was lost, not a reply";
    timeouts += t.timeouts;
    open += t.open ? 1 : 0;
  }
  const double drops = run.engine_summary.at("kernel_drops");
  EXPECT_GT(timeouts, 0u) << "the buffer held the whole burst: nothing was tested";
  // Every timeout is a dropped reply; a drop whose request still waits is no timeout yet.
  EXPECT_LE(timeouts, drops);
  EXPECT_LE(drops, timeouts + open);
}

INSTANTIATE_TEST_SUITE_P(Sockets, KernelDrops, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Datagram" : "Raw"; });

}  // namespace

int main(int argc, char** argv) {
  return RunIfRoot(argc, argv);
}
