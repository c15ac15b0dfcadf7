// The engine against the fault-injecting responder: one run of many addresses at once,
// IPv4 and IPv6, each with its own rule, checked against the responder's record. Once on
// raw sockets, once as a user without rights on ICMP datagram sockets.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/net/bench_run.h"
#include "tests/net/skip_unless_root.h"

namespace {

constexpr double kSeconds = 13;  // long enough for two 5-second timeouts

struct Delayed {
  const char* host;
  double delay_ms;
  double jitter_ms;
};
const Delayed kDelayed[] = {
    {"198.18.1.1", 0, 0},     {"198.18.1.2", 1, 0},      {"198.18.1.3", 5, 0},
    {"198.18.1.4", 20, 0},    {"198.18.1.5", 100, 0},    {"198.18.1.6", 400, 0},
    {"198.18.1.7", 1000, 0},  {"198.18.1.8", 50, 20},    {"198.18.3.7", 10, 0},
    {"198.18.3.8", 10, 0},    {"198.18.3.9", 10, 0},     {"2001:db8::1:1", 0, 0},
    {"2001:db8::1:4", 20, 0}, {"2001:db8::1:5", 100, 0}, {"2001:db8::1:8", 50, 20},
    {"2001:db8::3:9", 10, 0},
};
// Replies the engine must drop, or that the kernel drops before they reach the socket
// ("cut": the raw socket's ICMP filter cannot read 8 header bytes; "bad-version": IPv4
// input drops it); late replies come after the 5-second wait. Each request times out.
// "wrong-id" answers with the identifier one above, the next target's: the raw socket's
// filter lets it through and the engine sorts it out (KernelFilter tests the filter).
// "wrong-src" answers from the next address, which is no target: on datagram sockets,
// where all the first listings share the system's identifier, a reply from another
// target with that target's current sequence number would count for it.
const char* const kNeverAccepted[] = {
    "198.18.3.3",    "198.18.3.4",     "198.18.3.5",     "198.18.3.20",    "198.18.3.10",
    "198.18.3.11",   "198.18.3.12",    "198.18.3.13",    "2001:db8::3:3",  "2001:db8::3:4",
    "2001:db8::3:5", "2001:db8::3:20", "2001:db8::3:10", "2001:db8::3:11", "2001:db8::3:13"};
// Each answers every request twice.
const char* const kDuplicating[] = {"198.18.3.1", "198.18.3.2", "2001:db8::3:1"};
// Listed twice: two targets.
const char* const kListedTwice[] = {"198.18.1.4", "2001:db8::1:4"};
// Datagram sockets get only what the system's ICMP input accepts, and that checks the
// checksum: these replies are lost there. A raw socket gets its copy before the check.
constexpr char kBadChecksum[] = "198.18.3.7";
const char* const kUnresolvable[] = {"no-such-host.invalid", "256.1.2.3", "bad host name"};
// Plain targets in 198.18.6.0/24 that make the list as long as the lists the engine reads
// on its schedule's cadence, not as each reply arrives: the faults above are met there.
constexpr int kPlain = 250;

const char kRules[] = R"(# address rule
198.18.1.1 delay=0
198.18.1.2 delay=1
198.18.1.3 delay=5
198.18.1.4 delay=20
198.18.1.5 delay=100
198.18.1.6 delay=400
198.18.1.7 delay=1000
198.18.1.8 delay=50 jitter=20
198.18.2.0/29 delay=10 loss=30
198.18.3.1 kind=dup
198.18.3.2 kind=dup delay=30 dup_after=500
198.18.3.3 delay=5500
198.18.3.4 kind=wrong-id
198.18.3.5 kind=wrong-seq
198.18.3.20 kind=wrong-src
198.18.3.7 kind=bad-checksum delay=10
198.18.3.8 kind=options delay=10
198.18.3.9 kind=data delay=10
198.18.3.10 kind=cut
198.18.3.11 kind=unreachable
198.18.3.12 kind=bad-version
198.18.3.13 loss=100
198.18.6.0/24 delay=20
2001:db8::1:1 delay=0
2001:db8::1:4 delay=20
2001:db8::1:5 delay=100
2001:db8::1:8 delay=50 jitter=20
2001:db8::2:0/125 delay=10 loss=30
2001:db8::3:1 kind=dup
2001:db8::3:3 delay=5500
2001:db8::3:4 kind=wrong-id
2001:db8::3:5 kind=wrong-seq
2001:db8::3:20 kind=wrong-src
2001:db8::3:9 kind=data delay=10
2001:db8::3:10 kind=cut
2001:db8::3:11 kind=unreachable
2001:db8::3:13 loss=100
)";

std::vector<std::string> Config() {
  std::vector<std::string> lines = {"# scenario targets"};
  const auto add = [&lines](const auto& hosts) {
    lines.insert(lines.end(), std::begin(hosts), std::end(hosts));
  };
  for (const Delayed& d : kDelayed) {
    lines.push_back(d.host);
  }
  for (int i = 0; i < 8; ++i) {
    lines.push_back("198.18.2." + std::to_string(i));
    lines.push_back("2001:db8::2:" + std::to_string(i));
  }
  add(kDuplicating);
  add(kNeverAccepted);
  add(kUnresolvable);
  for (int i = 1; i <= kPlain; ++i) {
    lines.push_back("198.18.6." + std::to_string(i));
  }
  add(kListedTwice);  // the same addresses again: second targets
  return lines;
}

// The parameter: whether the engine runs without rights, on datagram sockets.
class Scenario : public ::testing::TestWithParam<bool> {
 protected:
  static void TearDownTestSuite() {
    for (auto& run : runs_) {
      run.reset();
    }
  }

  void SetUp() override {
    auto& run = runs_[GetParam() ? 1 : 0];
    if (!run) {
      BenchOptions options;
      options.unprivileged = GetParam();
      run = std::make_unique<BenchRun>(Config(), kRules, kSeconds, options);
    }
    run_ = run.get();
    ASSERT_EQ(run_->status, 0) << run_->output;
    ASSERT_EQ(run_->targets.size(), Config().size() - 1) << run_->output;
    ASSERT_EQ(run_->mode, GetParam() ? "datagram" : "raw") << run_->output;
    ASSERT_EQ(run_->mode6, run_->mode) << run_->output;
  }
  // Whether the responder's replies to host reach the engine.
  bool Delivered(const std::string& host) const { return !GetParam() || host != kBadChecksum; }

  static std::unique_ptr<BenchRun> runs_[2];  // one run per parameter, made when first used
  BenchRun* run_ = nullptr;                   // this test's
};

std::unique_ptr<BenchRun> Scenario::runs_[2];

TEST_P(Scenario, EveryRequestIsOneReplyOrOneTimeout) {
  std::uint64_t lost = 0;
  for (const EngineTarget& t : run_->targets) {
    if (!t.resolved || !Delivered(t.host)) {
      continue;
    }
    const ProberRecord* r = run_->RecordFor(t);
    // The identifier names the target: process id + index.
    ASSERT_NE(r, nullptr) << t.host << " #" << t.index << " sent nothing the responder saw "
                          << "under its expected identifier";
    EXPECT_TRUE(BenchRun::CountsMatch(t, *r));
    // A duplicate cutting the pause short, or a wait ending early, shows here: such a
    // request comes hundreds of ms early, not a few (see LUMORET_NET_EARLY_MS).
    EXPECT_LE(r->max_early_ms, LUMORET_NET_EARLY_MS) << t.host << " sent a request early";
    lost += r->lost;
  }
  EXPECT_GT(lost, 0u) << "the loss rule dropped nothing, so it tested nothing";
  // Nothing was probed that is not a target.
  std::size_t resolved = 0;
  for (const EngineTarget& t : run_->targets) {
    resolved += t.resolved ? 1 : 0;
  }
  EXPECT_EQ(run_->records.size(), resolved);
}

TEST_P(Scenario, DelaysMatchTheResponder) {
  for (const Delayed& d : kDelayed) {
    if (!Delivered(d.host)) {
      continue;
    }
    const EngineTarget& t = run_->Target(d.host);
    ASSERT_TRUE(t.average && t.min && t.max) << d.host << " accounted no reply";
    // The quickest reply shows the measurement itself; the average and the slowest also
    // carry whatever the machine's load adds, or takes off (see LUMORET_NET_EARLY_MS).
    EXPECT_LE(*t.min, d.delay_ms + d.jitter_ms + 1) << d.host;
    EXPECT_GE(*t.max + 1, d.delay_ms - d.jitter_ms) << d.host;
    EXPECT_GE(*t.min + 1 + LUMORET_NET_EARLY_MS, d.delay_ms - d.jitter_ms) << d.host;
    EXPECT_NEAR(*t.average, d.delay_ms, d.jitter_ms + 1 + LUMORET_NET_SLACK_MS) << d.host;
    EXPECT_LE(*t.max, d.delay_ms + d.jitter_ms + 1 + 25 * LUMORET_NET_SLACK_MS) << d.host;
  }
}

TEST_P(Scenario, DuplicatesCountOnceAndKeepThePause) {
  for (const char* host : kDuplicating) {
    const EngineTarget& t = run_->Target(host);
    const ProberRecord* r = run_->RecordFor(t);
    ASSERT_NE(r, nullptr);
    // Two copies of every reply; the later copy of the last one may still wait at the end.
    EXPECT_GE(r->duplicates + 1, 2 * r->replies) << host;
    EXPECT_LE(r->duplicates, 2 * r->replies) << host;
    EXPECT_GT(t.replies, 3u) << host;
    // Every answered request's second copy is counted apart, none as a reply.
    EXPECT_GE(t.duplicates, t.replies) << host;
    EXPECT_LE(t.duplicates, r->duplicates) << host;
    EXPECT_LE(r->max_early_ms, LUMORET_NET_EARLY_MS) << host << ": a duplicate cut the pause short";
  }
}

TEST_P(Scenario, FaultyAndLateRepliesAreTimeoutsEveryFiveSeconds) {
  for (const std::string host : kNeverAccepted) {
    const EngineTarget& t = run_->Target(host);
    const ProberRecord* r = run_->RecordFor(t);
    ASSERT_NE(r, nullptr) << host;
    EXPECT_EQ(t.replies, 0u) << host;
    EXPECT_FALSE(t.last || t.min || t.max) << host;
    // Requests at 0, 5 and 10 s: the third still waits when the run ends.
    EXPECT_EQ(t.sent, 3u) << host;
    EXPECT_EQ(t.timeouts, 2u) << host;
    EXPECT_EQ(r->on_schedule + r->behind, 2u) << host;
    EXPECT_LE(r->max_behind_ms, 20 + 25 * LUMORET_NET_SLACK_MS) << host;
    if (host == "198.18.3.3" || host == "2001:db8::3:3") {
      EXPECT_EQ(r->late, 2u) << "late replies at 5.5 and 10.5 s";
      EXPECT_EQ(t.late, 2u) << "the engine counts both as late";
    } else {
      EXPECT_EQ(r->faulty + r->lost, 3u) << host;
    }
  }
}

TEST_P(Scenario, RepliesTheSystemDropsAreTimeouts) {
  if (Delivered(kBadChecksum)) {
    GTEST_SKIP() << "a raw socket sees them";
  }
  const EngineTarget& t = run_->Target(kBadChecksum);
  EXPECT_EQ(t.replies + t.duplicates + t.late, 0u);
  EXPECT_EQ(t.sent, 3u);
  EXPECT_EQ(t.timeouts, 2u);
}

TEST_P(Scenario, UnresolvableNamesAreNeverProbed) {
  for (const char* host : kUnresolvable) {
    const EngineTarget& t = run_->Target(host);
    EXPECT_FALSE(t.resolved) << host;
    EXPECT_EQ(t.sent + t.replies + t.timeouts, 0u) << host;
    EXPECT_FALSE(t.last || t.min || t.max || t.average) << host;
  }
}

TEST_P(Scenario, TheSameAddressTwiceIsTwoTargets) {
  for (const std::string host : kListedTwice) {
    std::vector<const ProberRecord*> probers;
    for (const EngineTarget& t : run_->targets) {
      if (t.host == host) {
        probers.push_back(run_->RecordFor(t));
        ASSERT_NE(probers.back(), nullptr) << host;
        EXPECT_GT(t.replies, 5u) << host;
      }
    }
    ASSERT_EQ(probers.size(), 2u) << host;
    EXPECT_NE(probers[0]->identifier, probers[1]->identifier) << host;
  }
}

INSTANTIATE_TEST_SUITE_P(Sockets, Scenario, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Datagram" : "Raw"; });

// The raw sockets' filter keeps out replies to any identifier but the engine's own. With
// a single target its identifier + 1 is nobody's, so the engine never sees the
// responder's wrong-identifier replies, and counts none as foreign.
class KernelFilter : public ::testing::TestWithParam<const char*> {};

TEST_P(KernelFilter, KeepsRepliesToAnotherIdentifierOut) {
  const std::string host = GetParam();
  const BenchRun run({"# one target", host}, host + " kind=wrong-id\n", 6);
  ASSERT_EQ(run.status, 0) << run.output;
  ASSERT_EQ(run.mode, "raw") << run.output;
  const EngineTarget& t = run.Target(host);
  const ProberRecord* r = run.RecordFor(t);
  ASSERT_NE(r, nullptr) << run.output;
  EXPECT_GE(r->faulty, 1u) << "the responder sent no wrong identifier";
  EXPECT_EQ(run.engine_summary.at("foreign"), 0) << "the filter let them through";
  EXPECT_EQ(t.replies + t.late + t.duplicates, 0u);
}

INSTANTIATE_TEST_SUITE_P(Families, KernelFilter, ::testing::Values("198.18.3.4", "2001:db8::3:4"),
                         [](const auto& info) { return info.index == 0 ? "Ipv4" : "Ipv6"; });

}  // namespace

int main(int argc, char** argv) {
  return RunIfRoot(argc, argv);
}
