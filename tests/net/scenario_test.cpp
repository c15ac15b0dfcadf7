// The engine against the fault-injecting responder: one run of many addresses at once,
// IPv4 and IPv6, each with its own rule, checked against the responder's record. Once on
// raw sockets, once as a user without rights on ICMP datagram sockets.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/net/bench_run.h"

namespace {

constexpr double kSeconds = 13;  // long enough for two 5-second timeouts

// Each entry: an address and the responder's rule for it, grouped by what the engine must
// make of the replies. Accounted, with the rule's delay:
const std::vector<std::string> kDelayed = {
    // IPv4
    "198.18.1.1 delay=0", "198.18.1.2 delay=1", "198.18.1.3 delay=5", "198.18.1.4 delay=20",
    "198.18.1.5 delay=100", "198.18.1.6 delay=400", "198.18.1.7 delay=1000",
    "198.18.1.8 delay=50 jitter=20", "198.18.3.8 kind=options delay=10",
    "198.18.3.9 kind=data delay=10",
    // IPv6
    "2001:db8::1:1 delay=0", "2001:db8::1:4 delay=20", "2001:db8::1:5 delay=100",
    "2001:db8::1:8 delay=50 jitter=20", "2001:db8::3:9 kind=data delay=10"};
// Dropped by the engine or the kernel, or late (after the 5-second wait, however soon the
// engine reads them): each request times out. "wrong-id" answers with the identifier one
// above, the next target's: the raw socket's filter lets it through and the engine sorts it
// out (KernelFilter tests the filter). "wrong-src" answers from the next address, which is
// no target: on datagram sockets, where all the first listings share the system's
// identifier, a reply from another target with that target's current sequence number
// would count for it. "cut": the raw socket's ICMP filter cannot read 8 header bytes;
// "bad-version": IPv4 input drops it.
const std::vector<std::string> kNeverAccepted = {
    // IPv4
    "198.18.3.3 delay=5002", "198.18.3.4 kind=wrong-id", "198.18.3.5 kind=wrong-seq",
    "198.18.3.20 kind=wrong-src", "198.18.3.10 kind=cut", "198.18.3.11 kind=unreachable",
    "198.18.3.12 kind=bad-version", "198.18.3.13 loss=100",
    // IPv6
    "2001:db8::3:3 delay=5002", "2001:db8::3:4 kind=wrong-id", "2001:db8::3:5 kind=wrong-seq",
    "2001:db8::3:20 kind=wrong-src", "2001:db8::3:10 kind=cut", "2001:db8::3:11 kind=unreachable",
    "2001:db8::3:13 loss=100"};
// Each reply comes twice.
const std::vector<std::string> kDuplicating = {
    "198.18.3.1 kind=dup", "198.18.3.2 kind=dup delay=30 dup_after=500", "2001:db8::3:1 kind=dup"};
// Datagram sockets get only what the system's ICMP input accepts, and that checks the
// checksum: these replies are lost there. A raw socket gets its copy before the check.
constexpr char kBadChecksum[] = "198.18.3.7 kind=bad-checksum delay=10";
const char* const kUnresolvable[] = {"no-such-host.invalid", "256.1.2.3", "bad host name"};
// Listed twice: two targets.
const char* const kListedTwice[] = {"198.18.1.4", "2001:db8::1:4"};
// Plain targets in 198.18.6.0/24 that make the list as long as the lists the engine reads
// on its schedule's cadence, not as each reply arrives: the faults above are met there.
constexpr int kPlain = 250;
// 198.18.2.0-7 and 2001:db8::2:0-7 lose some replies.
const char kRangeRules[] =
    "198.18.2.0/29 delay=10 loss=30\n2001:db8::2:0/125 delay=10 loss=30\n198.18.6.0/24 delay=20\n";

// The address of an entry.
std::string Address(const std::string& entry) {
  return entry.substr(0, entry.find(' '));
}

// The value of key in an entry's rule ("delay=50 jitter=20"), 0 where it has none.
double RuleValue(const std::string& entry, const std::string& key) {
  const std::size_t at = entry.find(key + "=");
  return at == std::string::npos ? 0 : std::stod(entry.substr(at + key.size() + 1));
}

// Every entry above with a rule, and the responder's rules: theirs and the ranges'.
std::vector<std::string> Entries() {
  std::vector<std::string> all = kDelayed;
  for (const auto* group : {&kNeverAccepted, &kDuplicating}) {
    all.insert(all.end(), group->begin(), group->end());
  }
  all.push_back(kBadChecksum);
  return all;
}

std::string Rules() {
  std::string rules = kRangeRules;
  for (const std::string& entry : Entries()) {
    rules += entry + "\n";
  }
  return rules;
}

std::vector<std::string> Config() {
  std::vector<std::string> lines = {"# scenario targets"};
  for (const std::string& entry : Entries()) {
    lines.push_back(Address(entry));
  }
  lines.insert(lines.end(), std::begin(kUnresolvable), std::end(kUnresolvable));
  for (int i = 0; i < 8; ++i) {
    lines.push_back("198.18.2." + std::to_string(i));
    lines.push_back("2001:db8::2:" + std::to_string(i));
  }
  for (int i = 1; i <= kPlain; ++i) {
    lines.push_back("198.18.6." + std::to_string(i));
  }
  lines.insert(lines.end(), std::begin(kListedTwice), std::end(kListedTwice));  // second targets
  return lines;
}

// The parameter: whether the engine runs without rights, on datagram sockets.
class Scenario : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    auto& run = runs_[GetParam() ? 1 : 0];
    if (!run) {
      BenchOptions options;
      options.unprivileged = GetParam();
      run = std::make_unique<BenchRun>(Config(), Rules(), kSeconds, options);
    }
    run_ = run.get();
    ASSERT_EQ(run_->status, 0) << run_->output;
    ASSERT_EQ(run_->targets.size(), Config().size() - 1) << run_->output;
    ASSERT_EQ(run_->mode, GetParam() ? "datagram" : "raw") << run_->output;
    ASSERT_EQ(run_->mode6, run_->mode) << run_->output;
  }
  // The entries whose replies the engine accounts in this run, and those it never accepts.
  std::vector<std::string> Delayed() const { return With(kDelayed, !GetParam()); }
  std::vector<std::string> Never() const { return With(kNeverAccepted, GetParam()); }
  static std::vector<std::string> With(std::vector<std::string> group, bool bad_checksum) {
    if (bad_checksum) {
      group.push_back(kBadChecksum);
    }
    return group;
  }

  static std::unique_ptr<BenchRun> runs_[2];  // one run per parameter, made when first used
  BenchRun* run_ = nullptr;                   // this test's
};

std::unique_ptr<BenchRun> Scenario::runs_[2];

TEST_P(Scenario, EveryRequestIsOneReplyOrOneTimeout) {
  std::uint64_t lost = 0;
  std::size_t resolved = 0;
  for (const EngineTarget& t : run_->targets) {
    if (!t.resolved) {
      EXPECT_EQ(t.sent + t.replies + t.timeouts, 0u) << t.host;
      EXPECT_FALSE(t.last || t.min || t.max || t.average) << t.host;
      continue;
    }
    ++resolved;
    const ProberRecord* r = run_->RecordFor(t);
    // The identifier names the target: process id + index.
    ASSERT_NE(r, nullptr) << t.host << " #" << t.index << " sent nothing the responder saw "
                          << "under its expected identifier";
    if (GetParam() && t.host == Address(kBadChecksum)) {
      continue;  // its replies never reach datagram sockets
    }
    EXPECT_TRUE(BenchRun::CountsMatch(t, *r));
    // A duplicate cutting the pause short, or a wait ending early, shows here: such a
    // request comes hundreds of ms early, not a few (see LUMORET_NET_EARLY_MS).
    EXPECT_LE(r->max_early_ms, LUMORET_NET_EARLY_MS) << t.host << " sent a request early";
    lost += r->lost;
  }
  EXPECT_GT(lost, 0u) << "the loss rule dropped nothing, so it tested nothing";
  // Exactly the names without an address went unprobed, and nothing else was probed: an
  // address listed twice is two probers, as every target is one.
  EXPECT_EQ(resolved, run_->targets.size() - 3);
  EXPECT_EQ(run_->records.size(), resolved);
}

TEST_P(Scenario, DelaysAndDuplicatesMatchTheResponder) {
  for (const std::string& entry : Delayed()) {
    const EngineTarget& t = run_->Target(Address(entry));
    const double delay = RuleValue(entry, "delay"), jitter = RuleValue(entry, "jitter");
    ASSERT_TRUE(t.average && t.min && t.max) << entry << ": no reply accounted";
    // The quickest reply shows the measurement itself; the average and the slowest also
    // carry whatever the machine's load adds, or takes off (see LUMORET_NET_EARLY_MS).
    EXPECT_LE(*t.min, delay + jitter + 1) << entry;
    EXPECT_GE(*t.max + 1, delay - jitter) << entry;
    EXPECT_GE(*t.min + 1 + LUMORET_NET_EARLY_MS, delay - jitter) << entry;
    EXPECT_NEAR(*t.average, delay, jitter + 1 + LUMORET_NET_SLACK_MS) << entry;
    EXPECT_LE(*t.max, delay + jitter + 1 + 25 * LUMORET_NET_SLACK_MS) << entry;
  }
  for (const std::string& entry : kDuplicating) {
    const EngineTarget& t = run_->Target(Address(entry));
    // Every reply came twice: each answered request's second copy is counted apart.
    EXPECT_GE(t.duplicates, t.replies) << entry;
    EXPECT_GT(t.replies, 3u) << entry;
  }
}

TEST_P(Scenario, FaultyLateAndDroppedRepliesAreTimeoutsEveryFiveSeconds) {
  for (const std::string& entry : Never()) {
    const EngineTarget& t = run_->Target(Address(entry));
    const ProberRecord* r = run_->RecordFor(t);
    ASSERT_NE(r, nullptr) << entry;
    EXPECT_EQ(t.replies + t.duplicates, 0u) << entry;
    EXPECT_FALSE(t.last || t.min || t.max) << entry;
    // Requests at 0, 5 and 10 s: the third still waits when the run ends.
    EXPECT_EQ(t.sent, 3u) << entry;
    EXPECT_EQ(t.timeouts, 2u) << entry;
    if (entry == kBadChecksum) {
      // The responder answered each at once, and waited for the next in vain.
      EXPECT_EQ(t.late, 0u) << "replies the system drops reached the engine";
      continue;
    }
    EXPECT_EQ(r->on_schedule + r->behind, 2u) << entry;
    EXPECT_LE(r->max_behind_ms, 20 + 25 * LUMORET_NET_SLACK_MS) << entry;
    if (RuleValue(entry, "delay") > 5000) {
      // Just past each wait, however soon the engine reads them.
      EXPECT_EQ(r->late, 2u) << entry << ": late replies at 5.002 and 10.002 s";
      EXPECT_EQ(t.late, 2u) << entry << ": the engine counts both as late";
    } else {
      EXPECT_EQ(r->faulty + r->lost, 3u) << entry;
    }
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

// The responder reads its rules again on SIGUSR1, as bench/alerts relies on: a host goes
// silent at 2.75 s and answers again at 15.5 s, with a file the responder cannot read in
// between, which must leave the silence in force. Requests, one a second after each reply
// (10 ms) and every 5 s while unanswered: at about 0, 1, 2 s answered; 3, 8 and 13 s lost
// (the last two only if the bad file kept the rules); 18 s answered. A neighbour under
// the range's rule answers throughout.
TEST(RulesReread, TakesAHostDownAndUpAgainAndKeepsTheRulesOverABadFile) {
  const std::string range = "198.18.7.0/24 delay=10\n";
  BenchOptions options;
  options.rule_changes = {{2.75, "198.18.7.1 loss=100\n" + range},
                          {6, "198.18.7.1 loss=banana\n" + range},
                          {15.5, range}};
  const BenchRun run({"# two targets", "198.18.7.1", "198.18.7.2"}, range, 20, options);
  ASSERT_EQ(run.status, 0) << run.output;
  const ProberRecord* silenced = run.RecordFor(run.Target("198.18.7.1"));
  const ProberRecord* neighbour = run.RecordFor(run.Target("198.18.7.2"));
  ASSERT_TRUE(silenced && neighbour) << run.output;
  EXPECT_EQ(silenced->lost, 3u) << "requests at 3, 8 and 13 s go unanswered";
  EXPECT_TRUE(silenced->last_answered) << "the host did not come back";
  EXPECT_EQ(neighbour->lost, 0u);
  EXPECT_GE(neighbour->replies, 18u);
}

// engine_run changes the list at 2 s as a reload of config.ini would: 198.18.7.2 goes,
// 198.18.7.4 comes, possibly on its identifier. The lines at the end are the final list's,
// in its order, and each counts exactly what the responder saw of that target: the kept
// ones across the change, the new one only its own requests.
TEST(ListChange, PrintsTheFinalListWithEachTargetsOwnCounts) {
  BenchOptions options;
  const std::vector<std::string> final_list = {"198.18.7.1", "198.18.7.4", "198.18.7.3"};
  options.list_changes = {{2, final_list}};
  const BenchRun run({"198.18.7.1", "198.18.7.2", "198.18.7.3"}, "198.18.7.0/24 delay=10\n", 8,
                     options);
  ASSERT_EQ(run.status, 0) << run.output;
  ASSERT_EQ(run.changes.size(), 1u) << run.output;
  EXPECT_EQ(run.changes[0].at("kept"), "2");
  EXPECT_EQ(run.changes[0].at("added"), "1");
  EXPECT_EQ(run.changes[0].at("removed"), "1");
  ASSERT_EQ(run.targets.size(), final_list.size()) << run.output;
  for (std::size_t i = 0; i < final_list.size(); ++i) {
    const EngineTarget& target = run.targets[i];
    EXPECT_EQ(target.host, final_list[i]);
    const ProberRecord* record = run.RecordFor(target);
    ASSERT_NE(record, nullptr) << target.host << " not probed, or not on its identifier";
    EXPECT_TRUE(BenchRun::CountsMatch(target, *record));
  }
  // Probed from about 2 s to 8 s, one request a second.
  EXPECT_GE(run.Target("198.18.7.4").sent, 4u);
}

}  // namespace

int main(int argc, char** argv) {
  return RunIfRoot(argc, argv);
}
