#include "engine/schedule_driver.h"

#include <gtest/gtest.h>

#include <chrono>

#include "engine/channel_table.h"
#include "engine/reply_reader.h"
#include "tests/engine/offline_engine.h"
#include "tests/engine/udp_loopback.h"

namespace {

using Clock = std::chrono::steady_clock;

// A socket that carries 250 targets or more gets no waiter: while replies are awaited,
// it is read at the schedule's wake-ups, every grain, long before any wait is due.
TEST(ScheduleDriver, SocketOfManyTargetsIsReadAtWakeUpsNotWaitedOn) {
  boost::asio::io_service io{1};
  OfflineEngine e;
  // The wake-ups re-arm the timer themselves; reads after a waiter's wake-up are not tested.
  ReadingParts parts(io, e);
  auto& [receive_errors, drops, stalls, channels, reader, driver] = parts;
  UdpLoopback udp(io);
  channels.Add(udp.Open(), platform::IpFamily::kV4);
  channels.Add(udp.Open(), platform::IpFamily::kV4);
  channels[0].target_count = 249;
  channels[1].target_count = 250;
  driver.WatchArrivals();
  EXPECT_NE(channels[0].waiter, nullptr);
  ASSERT_EQ(channels[1].waiter, nullptr);

  e.AddTarget("127.0.0.1");
  e.SendRound();  // its reply is awaited for 5 s
  driver.ArmScheduleTimer();
  udp.Send();  // to the socket without waiter
  const auto deadline = Clock::now() + std::chrono::seconds(1);
  while (e.malformed == 0 && Clock::now() < deadline) {
    io.run_one_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(e.malformed, 1u) << "not read within a second, though replies were awaited";
  EXPECT_EQ(receive_errors, 0u);
}

}  // namespace
