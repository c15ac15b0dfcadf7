#include "engine/host_state.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Changes compared and printed where gtest looks for them.
bool operator==(const HostStateTracker::Change& a, const HostStateTracker::Change& b) {
  return a.at_ms == b.at_ms && a.from == b.from && a.to == b.to;
}

std::ostream& operator<<(std::ostream& out, const HostStateTracker::Change& change) {
  return out << change.at_ms << ' ' << HostStateName(change.from) << "->"
             << HostStateName(change.to);
}

namespace {

using Change = HostStateTracker::Change;
constexpr HostState kNotYet = HostState::kNotYet;
constexpr HostState kUp = HostState::kUp;
constexpr HostState kLossy = HostState::kLossy;
constexpr HostState kDown = HostState::kDown;

// One hand-worked case: probes one a second from 0 ms, each 'r' (a 20 ms reply), 's' (a
// 300 ms reply) or 'x' (lost), and the changes they make.
struct Case {
  const char* name;          // what it checks
  HostStateRules rules;      // the settings
  HostState start;           // where the tracker starts
  const char* probes;        // one letter a probe
  std::vector<Change> want;  // at_ms, from, to
};

HostStateRules Rules(int down_after, int window, int loss_percent) {
  HostStateRules rules;
  rules.down_after_lost = down_after;
  rules.window = window;
  rules.lossy_loss_percent = loss_percent;
  return rules;
}

TEST(HostStateTracker, FollowsTheRulesByHand) {
  const HostStateRules defaults;
  const Case cases[] = {
      {"first reply: up", defaults, kNotYet, "rrr", {{0, kNotYet, kUp}}},
      {"one timeout is no outage, and 2 lost of 20 not lossy",
       defaults,
       kNotYet,
       "xrx",
       {{1000, kNotYet, kUp}}},
      {"down after 2, dated to the first; up after one reply, its loss forgotten",
       defaults,
       kNotYet,
       "rxxxr",
       {{0, kNotYet, kUp}, {1000, kUp, kDown}, {4000, kDown, kUp}}},
      {"never answered: down from not yet", defaults, kNotYet, "xxx", {{0, kNotYet, kDown}}},
      {"3 lost of 20 is above 10 %",
       defaults,
       kNotYet,
       "rxrxrxr",
       {{0, kNotYet, kUp}, {5000, kUp, kLossy}}},
      {"lossy while most replies are slow",
       defaults,
       kNotYet,
       "rssrs",
       {{0, kNotYet, kUp}, {2000, kUp, kLossy}, {3000, kLossy, kUp}, {4000, kUp, kLossy}}},
      {"loss leaves the window",
       Rules(2, 4, 25),
       kNotYet,
       "xrxrr",
       {{1000, kNotYet, kUp}, {2000, kUp, kLossy}, {4000, kLossy, kUp}}},
      {"lossy on the way down: the down is not dated before it",
       Rules(3, 4, 25),
       kNotYet,
       "rxxxr",
       {{0, kNotYet, kUp}, {2000, kUp, kLossy}, {2000, kLossy, kDown}, {4000, kDown, kUp}}},
      {"a slow first reply after an outage",
       defaults,
       kNotYet,
       "xxsr",
       {{0, kNotYet, kDown}, {2000, kDown, kLossy}, {3000, kLossy, kUp}}},
      {"restarted down: timeouts log nothing more", defaults, kDown, "xxxr", {{3000, kDown, kUp}}},
  };
  for (const Case& c : cases) {
    HostStateTracker tracker(c.rules, c.start);
    std::vector<Change> got;
    std::int64_t at = 0;
    for (const char* p = c.probes; *p != '\0'; ++p, at += 1000) {
      const std::optional<std::uint32_t> delay =
          *p == 'x' ? std::nullopt : std::optional<std::uint32_t>(*p == 's' ? 300 : 20);
      if (const auto change = tracker.Add(at, delay)) {
        got.push_back(*change);
      }
    }
    EXPECT_EQ(got, c.want) << c.name;
  }
}

}  // namespace
