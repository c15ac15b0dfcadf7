// What the receive path makes of replies that come, or are read, at awkward times: a reply
// just after the 5-second wait.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/net/bench_run.h"
#include "tests/net/skip_unless_root.h"

namespace {

// A reply 2 ms after the wait ran out is late, however soon the engine reads it: its
// request is a timeout, and the next one leaves at once.
TEST(LateReply, JustPastTheWaitIsATimeoutAndLate) {
  const std::vector<std::string> config = {"198.18.7.1", "198.18.7.2", "198.18.7.3"};
  // Requests at 0 s and 5 s; the reply to the first comes at 5.002 s.
  const BenchRun run(config, "198.18.7.0/24 delay=5002\n", 6.5);
  ASSERT_EQ(run.status, 0) << run.output;
  ASSERT_EQ(run.targets.size(), config.size()) << run.output;
  for (const EngineTarget& t : run.targets) {
    const ProberRecord* r = run.RecordFor(t);
    ASSERT_NE(r, nullptr) << t.host;
    EXPECT_EQ(r->late, 1u) << t.host << ": the responder sent no late reply";
    EXPECT_EQ(t.sent, 2u) << t.host;
    EXPECT_EQ(t.timeouts, 1u) << t.host;
    EXPECT_EQ(t.late, 1u) << t.host;
    EXPECT_EQ(t.replies, 0u) << t.host;
    EXPECT_FALSE(t.last || t.max) << t.host;
    EXPECT_LE(r->max_behind_ms, 20 + 25 * LUMORET_NET_SLACK_MS) << t.host;
  }
  EXPECT_EQ(run.engine_summary.at("stalls"), 0);
}

}  // namespace

int main(int argc, char** argv) {
  return RunIfRoot(argc, argv);
}
