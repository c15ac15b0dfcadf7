#include "engine/host_state.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

using Change = HostStateTracker::Change;

// Where gtest looks for them: changes compared and printed.
bool operator==(const Change& a, const Change& b) {
  return std::tie(a.at_ms, a.from, a.to) == std::tie(b.at_ms, b.from, b.to);
}
std::ostream& operator<<(std::ostream& out, const Change& c) {
  return out << c.at_ms << ' ' << HostStateName(c.from) << "->" << HostStateName(c.to);
}

namespace {

constexpr HostState kNotYet = HostState::kNotYet, kUp = HostState::kUp, kLossy = HostState::kLossy,
                    kDown = HostState::kDown;

TEST(HostStateTracker, FollowsTheRulesByHand) {
  const HostStateRules defaults;
  // Down after 3, and lossy above 25 % of a window of 4.
  HostStateRules small;
  small.down_after_lost = 3;
  small.window = 4;
  small.lossy_loss_percent = 25;
  // Probes one a second from 0 ms: 'r' a 20 ms reply, 's' a 300 ms one, 'x' lost.
  const struct {
    HostStateRules rules;
    HostState start;
    const char* probes;
    std::vector<Change> want;
  } cases[] = {
      {defaults, kNotYet, "xrx", {{1000, kNotYet, kUp}}},  // 2 lost of 20: 10 %, not above
      {defaults, kNotYet, "rxxxr", {{0, kNotYet, kUp}, {1000, kUp, kDown}, {4000, kDown, kUp}}},
      {defaults, kNotYet, "rxrxrxr", {{0, kNotYet, kUp}, {5000, kUp, kLossy}}},
      {defaults,
       kNotYet,
       "rssrs",  // the median reply above 200 ms, then not
       {{0, kNotYet, kUp}, {2000, kUp, kLossy}, {3000, kLossy, kUp}, {4000, kUp, kLossy}}},
      {defaults,
       kNotYet,
       "xxsr",
       {{0, kNotYet, kDown}, {2000, kDown, kLossy}, {3000, kLossy, kUp}}},
      {defaults, kDown, "xxxr", {{3000, kDown, kUp}}},  // a restart while down
      {small, kNotYet, "xrxrr", {{1000, kNotYet, kUp}, {2000, kUp, kLossy}, {4000, kLossy, kUp}}},
      {small,
       kNotYet,
       "rxxxr",  // the down is not dated before the lossy
       {{0, kNotYet, kUp}, {2000, kUp, kLossy}, {2000, kLossy, kDown}, {4000, kDown, kUp}}},
  };
  for (const auto& c : cases) {
    HostStateTracker tracker(c.rules, c.start);
    std::vector<Change> got;
    for (int i = 0; c.probes[i] != '\0'; ++i) {
      const char p = c.probes[i];
      if (auto change =
              tracker.Add(i * 1000, p == 'x' ? std::nullopt
                                             : std::optional<std::uint32_t>(p == 's' ? 300 : 20))) {
        got.push_back(*change);
      }
    }
    EXPECT_EQ(got, c.want) << c.probes;
  }
}

}  // namespace
