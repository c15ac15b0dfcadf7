#include "engine/host_state.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr HostState kNotYet = HostState::kNotYet, kDown = HostState::kDown;

TEST(HostStateTracker, FollowsTheRulesByHand) {
  const HostStateRules defaults;
  // Down after 3, and lossy above 25 % of a window of 4.
  HostStateRules small;
  small.down_after_lost = 3;
  small.window = 4;
  small.lossy_loss_percent = 25;
  // Probes one a second from 0 ms: 'r' a 20 ms reply, 's' a 300 ms one, 'x' lost; the
  // changes they make as "at_ms from>to".
  const struct {
    HostStateRules rules;
    HostState start;
    const char* probes;
    const char* want;
  } cases[] = {
      {defaults, kNotYet, "xrx", "1000 not_yet>up"},  // 2 lost of 20: 10 %, not above
      {defaults, kNotYet, "rxxxr", "0 not_yet>up 1000 up>down 4000 down>up"},
      {defaults, kNotYet, "rxrxrxr", "0 not_yet>up 5000 up>lossy"},
      // The median reply above 200 ms, then not.
      {defaults, kNotYet, "rssrs", "0 not_yet>up 2000 up>lossy 3000 lossy>up 4000 up>lossy"},
      {defaults, kNotYet, "xxsr", "0 not_yet>down 2000 down>lossy 3000 lossy>up"},
      {defaults, kDown, "xxxr", "3000 down>up"},  // a restart while down
      {small, kNotYet, "xrxrr", "1000 not_yet>up 2000 up>lossy 4000 lossy>up"},
      // The down is not dated before the lossy.
      {small, kNotYet, "rxxxr", "0 not_yet>up 2000 up>lossy 2000 lossy>down 4000 down>up"},
  };
  for (const auto& c : cases) {
    HostStateTracker tracker(c.rules, c.start);
    std::string got;
    for (int i = 0; c.probes[i] != '\0'; ++i) {
      const char p = c.probes[i];
      const auto delay =
          p == 'x' ? std::nullopt : std::optional<std::uint32_t>(p == 's' ? 300 : 20);
      if (const auto change = tracker.Add(i * 1000, delay)) {
        got += (got.empty() ? "" : " ") + std::to_string(change->at_ms) + ' ' +
               HostStateName(change->from) + '>' + HostStateName(change->to);
      }
    }
    EXPECT_EQ(got, c.want) << c.probes;
  }
}

}  // namespace
