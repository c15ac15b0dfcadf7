#include "engine/probe_schedule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = ProbeSchedule::Clock;
using Kind = ProbeSchedule::Kind;
using Entries = std::vector<std::unique_ptr<ProbeSchedule::Entry>>;
using std::chrono::milliseconds;

// Entries stand alone here: the schedule never looks at their owners.
Entries Make(int n) {
  Entries entries;
  for (int i = 0; i < n; ++i) {
    entries.push_back(std::make_unique<ProbeSchedule::Entry>(nullptr));
  }
  return entries;
}

// Takes every entry due at now, in order, each as its index and 'w' for a wait or 'p'
// for a pause: "3p 0w".
std::string TakeAll(ProbeSchedule& schedule, const Entries& entries, Clock::time_point now) {
  std::string taken;
  Kind kind = Kind::kNone;
  while (ProbeSchedule::Entry* entry = schedule.TakeDue(now, &kind)) {
    const auto at = std::find_if(entries.begin(), entries.end(),
                                 [entry](const auto& e) { return e.get() == entry; });
    taken += (taken.empty() ? "" : " ") + std::to_string(at - entries.begin()) +
             (kind == Kind::kWait ? "w" : "p");
    EXPECT_EQ(entry->kind, Kind::kNone);
  }
  return taken;
}

TEST(ProbeSchedule, TakesWaitsAndPausesInDueOrder) {
  ProbeSchedule schedule;
  auto e = Make(5);
  const Clock::time_point t0;
  EXPECT_FALSE(schedule.Earliest());
  schedule.Set(*e[0], Kind::kWait, t0 + milliseconds(5000));
  schedule.Set(*e[1], Kind::kWait, t0 + milliseconds(5010));
  schedule.Set(*e[2], Kind::kPause, t0 + milliseconds(1020));
  // A reply stamped before the previous one handled: it goes ahead of it.
  schedule.Set(*e[3], Kind::kPause, t0 + milliseconds(1005));
  schedule.Set(*e[4], Kind::kPause, t0 + milliseconds(1030));
  EXPECT_EQ(schedule.Earliest(), t0 + milliseconds(1005));
  EXPECT_EQ(TakeAll(schedule, e, t0 + milliseconds(1004)), "");
  EXPECT_EQ(TakeAll(schedule, e, t0 + milliseconds(5000)), "3p 2p 4p 0w");
  EXPECT_EQ(schedule.Earliest(), t0 + milliseconds(5010));
}

TEST(ProbeSchedule, SettingAgainOrCancellingMovesTheEntry) {
  ProbeSchedule schedule;
  auto e = Make(3);
  const Clock::time_point t0;
  for (int i = 0; i < 3; ++i) {
    schedule.Set(*e[i], Kind::kWait, t0 + milliseconds(5000 + i));
  }
  // The middle one's reply came: its wait becomes a pause.
  schedule.Set(*e[1], Kind::kPause, t0 + milliseconds(1000));
  schedule.Cancel(*e[0]);
  schedule.Cancel(*e[0]);  // twice is harmless
  EXPECT_EQ(TakeAll(schedule, e, t0 + milliseconds(9000)), "1p 2w");
  EXPECT_FALSE(schedule.Earliest());
  // Emptied lists take entries again.
  schedule.Set(*e[2], Kind::kPause, t0);
  EXPECT_EQ(TakeAll(schedule, e, t0), "2p");
}

}  // namespace
