#include "engine/state_board.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "engine/delay_time_mgr.h"
#include "tests/engine/offline_engine.h"

namespace {

using Clock = ProbeHistory::Clock;
using std::chrono::milliseconds;

// The probes of the tests start here on the steady clock; the board is read 10 s later,
// when the wall clock says 1,700,000,000,000 ms.
const Clock::time_point kStart = Clock::time_point(std::chrono::hours(100));
const ClockPair kLater{kStart + std::chrono::seconds(10), 1700000000000LL * 1000000};

// Adds probes one a second from kStart + first_s: 'r' a 20 ms reply, 'x' lost.
void Feed(ProbeHistory& ring, const char* probes, int first_s = 0) {
  for (int i = 0; probes[i] != '\0'; ++i) {
    ring.Add(kStart + std::chrono::seconds(first_s + i),
             probes[i] == 'x' ? std::nullopt : std::optional<std::uint32_t>(20));
  }
}

// The changes as "target at_ms from>to", space-separated.
std::string Text(const std::vector<StateBoard::Change>& changes) {
  std::string text;
  for (const auto& c : changes) {
    text += (text.empty() ? "" : " ") + std::to_string(c.target) + ' ' + std::to_string(c.at_ms) +
            ' ' + HostStateName(c.from) + '>' + HostStateName(c.to);
  }
  return text;
}

TEST(StateBoard, JudgesEachRingOnceWithWallTimesAndKeepsStatesAcrossNewRules) {
  OfflineEngine engine;
  engine.AddTarget("127.0.0.1");
  engine.AddTarget("");  // unresolved
  engine.AddTarget("127.0.0.2");
  StateBoard board(engine.targets, HostStateRules());
  EXPECT_EQ(board.state(1), HostState::kUnresolved);
  EXPECT_EQ(board.counts(), (StateBoard::Counts{2, 0, 0, 0, 1}));

  // Down from the first of two timeouts (1 s after the start, 9 s before the reading),
  // up again at the reply after them.
  Feed(engine.targets[0]->history, "rxxr");
  Feed(engine.targets[2]->history, "x");
  EXPECT_EQ(Text(board.Update(kLater)),
            "0 1699999990000 not_yet>up 0 1699999991000 up>down 0 1699999993000 down>up");
  EXPECT_EQ(board.counts(), (StateBoard::Counts{1, 1, 0, 0, 1}));

  // Only what came since is read: nothing, then one timeout that is not yet an outage,
  // then the second.
  EXPECT_EQ(Text(board.Update(kLater)), "");
  Feed(engine.targets[0]->history, "x", 4);
  EXPECT_EQ(Text(board.Update(kLater)), "");
  Feed(engine.targets[0]->history, "x", 5);
  EXPECT_EQ(Text(board.Update(kLater)), "0 1699999994000 up>down");
  EXPECT_EQ(board.counts(), (StateBoard::Counts{1, 0, 0, 1, 1}));

  // New rules keep every state; after them three timeouts are no longer an outage, the
  // fourth is.
  HostStateRules patient;
  patient.down_after_lost = 4;
  patient.lossy_loss_percent = 50;
  board.SetRules(patient);
  EXPECT_EQ(board.counts(), (StateBoard::Counts{1, 0, 0, 1, 1}));
  Feed(engine.targets[0]->history, "rxxx", 6);
  EXPECT_EQ(Text(board.Update(kLater)), "0 1699999996000 down>up");
  Feed(engine.targets[0]->history, "x", 10);
  EXPECT_EQ(Text(board.Update(kLater)), "0 1699999997000 up>down");
}

TEST(StateBoard, FollowsLookUpsAndAChangedListKeepingEachKeptTargetsState) {
  OfflineEngine engine;
  engine.AddTarget("127.0.0.1");
  engine.targets.push_back(std::make_shared<DelayTarget>(engine.schedule, -1, "later.example", 1,
                                                         std::nullopt, engine.send_errors,
                                                         /*pending=*/true));
  engine.AddTarget("");  // failed
  StateBoard board(engine.targets, HostStateRules());
  EXPECT_EQ(board.counts(), (StateBoard::Counts{2, 0, 0, 0, 1})) << "a pending name is waiting";

  // The pending name resolves and is judged from its ring; the failed one resolves too
  // and waits for its first probe.
  const boost::asio::ip::icmp::endpoint loopback(boost::asio::ip::make_address("127.0.0.2"), 0);
  engine.targets[1]->MoveTo(loopback, -1, 0);
  engine.targets[2]->MoveTo(loopback, -1, 0);
  Feed(engine.targets[0]->history, "xx");
  Feed(engine.targets[1]->history, "r", 3);
  EXPECT_EQ(Text(board.Update(kLater)), "0 1699999990000 not_yet>down 1 1699999993000 not_yet>up");
  EXPECT_EQ(board.counts(), (StateBoard::Counts{1, 1, 0, 1, 0}));

  // A new pending host first, the down one last, the up one gone.
  engine.targets = {std::make_shared<DelayTarget>(engine.schedule, -1, "new.example", 3,
                                                  std::nullopt, engine.send_errors, true),
                    engine.targets[2], engine.targets[0]};
  board.Remap(engine.targets, {DelayTimeMgr::kAdded, 2, 0});
  EXPECT_EQ(board.counts(), (StateBoard::Counts{2, 0, 0, 1, 0}));
  EXPECT_EQ(board.state(2), HostState::kDown);
  // The kept target's ring is read on from where it was, under its new position.
  Feed(engine.targets[2]->history, "r", 4);
  EXPECT_EQ(Text(board.Update(kLater)), "2 1699999994000 down>up");
  // The new name fails.
  engine.targets[0]->LookupFailed();
  board.Update(kLater);
  EXPECT_EQ(board.counts(), (StateBoard::Counts{1, 1, 0, 0, 1}));
}

TEST(StateBoard, ReadsEveryProbeWhileTheWorkerAddsThem) {
  OfflineEngine engine;
  engine.AddTarget("127.0.0.1");
  StateBoard board(engine.targets, HostStateRules());
  ProbeHistory& ring = engine.targets[0]->history;
  // As the worker adds them, each probe long after it left: a reply and two timeouts a
  // round, an outage and a recovery each. No more than the ring holds, so none is lost.
  constexpr int kRounds = static_cast<int>(ProbeHistory::kCapacity / 3);
  const Clock::time_point first = Clock::now() - std::chrono::hours(1);
  std::atomic<bool> done{false};
  std::thread worker([&] {
    for (int i = 0; i < kRounds * 3; ++i) {
      ring.Add(first + milliseconds(10 * i),
               i % 3 == 0 ? std::optional<std::uint32_t>(5) : std::nullopt);
      if (i % 3 == 2) {
        // A pause a round, so that the board reads between rounds.
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    }
    done = true;
  });
  std::size_t ups = 0;
  std::size_t downs = 0;
  const auto count = [&](const std::vector<StateBoard::Change>& changes) {
    for (const auto& change : changes) {
      (change.to == HostState::kDown ? downs : ups) += 1;
    }
  };
  int updates = 0;
  for (const auto deadline = Clock::now() + std::chrono::seconds(10);
       !done && Clock::now() < deadline; ++updates) {
    count(board.Update(ClockPair::Now()));
  }
  worker.join();
  count(board.Update(ClockPair::Now()));
  EXPECT_EQ(ups, static_cast<std::size_t>(kRounds));
  EXPECT_EQ(downs, static_cast<std::size_t>(kRounds));
  EXPECT_EQ(board.state(0), HostState::kDown);
  EXPECT_GT(updates, 1) << "the board never read while the worker added";
}

}  // namespace
