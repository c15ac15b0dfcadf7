// The engine under a flood of 10,000 foreign echo replies a second: every datagram passes
// through its receive path, yet no reply to its own requests may be lost or measured late.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/net/bench_run.h"
#include "tests/net/skip_unless_root.h"

namespace {

constexpr double kSeconds = 12;
constexpr double kFloodRate = 10000;

TEST(Flood, NoReplyIsLostAndDelaysStayRight) {
  std::vector<std::string> config;
  for (int i = 1; i <= 20; ++i) {
    config.push_back("198.18.4." + std::to_string(i));
  }
  for (int i = 1; i <= 5; ++i) {
    config.push_back("198.18.5." + std::to_string(i));
  }
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

}  // namespace

int main(int argc, char** argv) {
  return RunIfRoot(argc, argv);
}
