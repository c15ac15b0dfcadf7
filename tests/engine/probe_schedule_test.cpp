#include "engine/probe_schedule.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using Clock = ProbeSchedule::Clock;
using Kind = ProbeSchedule::Kind;
using std::chrono::milliseconds;

// Entries stand alone here: the schedule never looks at their owners.
std::vector<std::unique_ptr<ProbeSchedule::Entry>> Entries(int n) {
  std::vector<std::unique_ptr<ProbeSchedule::Entry>> entries;
  for (int i = 0; i < n; ++i) {
    entries.push_back(std::make_unique<ProbeSchedule::Entry>(nullptr));
  }
  return entries;
}

// Takes every entry due at now, in order, as indices into entries.
std::vector<int> TakeAll(ProbeSchedule& schedule,
                         const std::vector<std::unique_ptr<ProbeSchedule::Entry>>& entries,
                         Clock::time_point now, std::vector<Kind>* kinds = nullptr) {
  std::vector<int> taken;
  Kind kind = Kind::kNone;
  while (ProbeSchedule::Entry* entry = schedule.TakeDue(now, &kind)) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].get() == entry) {
        taken.push_back(static_cast<int>(i));
      }
    }
    if (kinds != nullptr) {
      kinds->push_back(kind);
    }
    EXPECT_EQ(entry->kind, Kind::kNone);
  }
  return taken;
}

TEST(ProbeSchedule, TakesWaitsAndPausesInDueOrder) {
  ProbeSchedule schedule;
  auto e = Entries(5);
  const Clock::time_point t0;
  EXPECT_FALSE(schedule.Earliest());
  schedule.Set(*e[0], Kind::kWait, t0 + milliseconds(5000));
  schedule.Set(*e[1], Kind::kWait, t0 + milliseconds(5010));
  schedule.Set(*e[2], Kind::kPause, t0 + milliseconds(1020));
  // A reply stamped before the previous one handled: it goes ahead of it.
  schedule.Set(*e[3], Kind::kPause, t0 + milliseconds(1005));
  schedule.Set(*e[4], Kind::kPause, t0 + milliseconds(1030));
  EXPECT_EQ(schedule.Earliest(), t0 + milliseconds(1005));

  EXPECT_EQ(TakeAll(schedule, e, t0 + milliseconds(1004)), std::vector<int>{});
  std::vector<Kind> kinds;
  EXPECT_EQ(TakeAll(schedule, e, t0 + milliseconds(5000), &kinds), (std::vector<int>{3, 2, 4, 0}));
  EXPECT_EQ(kinds, (std::vector<Kind>{Kind::kPause, Kind::kPause, Kind::kPause, Kind::kWait}));
  EXPECT_EQ(schedule.Earliest(), t0 + milliseconds(5010));
}

TEST(ProbeSchedule, SettingAgainOrCancellingMovesTheEntry) {
  ProbeSchedule schedule;
  auto e = Entries(3);
  const Clock::time_point t0;
  for (int i = 0; i < 3; ++i) {
    schedule.Set(*e[i], Kind::kWait, t0 + milliseconds(5000 + i));
  }
  // The middle one's reply came: its wait becomes a pause.
  schedule.Set(*e[1], Kind::kPause, t0 + milliseconds(1000));
  schedule.Cancel(*e[0]);
  schedule.Cancel(*e[0]);  // twice is harmless
  EXPECT_EQ(TakeAll(schedule, e, t0 + milliseconds(9000)), (std::vector<int>{1, 2}));
  EXPECT_FALSE(schedule.Earliest());
  // Emptied lists take entries again.
  schedule.Set(*e[2], Kind::kPause, t0);
  EXPECT_EQ(TakeAll(schedule, e, t0), std::vector<int>{2});
}

}  // namespace
