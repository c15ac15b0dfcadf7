#include "engine/schedule_driver.h"

#include <gtest/gtest.h>

#include <chrono>

#include "tests/engine/udp_loopback.h"

namespace {

// A socket that carries 250 targets or more gets no waiter: while replies are awaited,
// it is read at the schedule's wake-ups, every grain, long before any wait is due.
TEST(ScheduleDriver, SocketOfManyTargetsIsReadAtWakeUpsNotWaitedOn) {
  UdpLoopback udp;
  udp.Open();
  udp.Open();
  udp.channels[0].target_count = 249;
  udp.channels[1].target_count = 250;
  udp.driver.WatchArrivals();
  EXPECT_NE(udp.channels[0].waiter, nullptr);
  ASSERT_EQ(udp.channels[1].waiter, nullptr);

  udp.engine.AddTarget("127.0.0.1");
  udp.engine.SendRound();  // its reply is awaited for 5 s
  // The wake-ups re-arm the timer themselves; reads after a waiter's wake-up are not tested.
  udp.driver.ArmScheduleTimer();
  udp.Send();  // to the socket without waiter
  udp.RunUntilRead(std::chrono::seconds(1));
  EXPECT_EQ(udp.engine.malformed, 1u) << "not read within a second, though replies were awaited";
  EXPECT_EQ(udp.receive_errors, 0u);
}

}  // namespace
