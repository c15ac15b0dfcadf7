#include "engine/clock_pair.h"

#include <gtest/gtest.h>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>
#include <chrono>
#include <thread>

#include "platform/platform.h"

namespace {

using std::chrono::milliseconds;

TEST(ArrivalTime, TurnsTheKernelStampIntoSteadyTimeHoweverOld) {
  ClockPair clocks;
  clocks.steady = std::chrono::steady_clock::time_point(std::chrono::seconds(4000));
  clocks.wall_ns = 1'700'000'000'000'000'000;
  EXPECT_EQ(ArrivalTime(clocks.wall_ns - 2'500'000, clocks),
            clocks.steady - std::chrono::microseconds(2500));
  // A process stopped for an hour still dates what arrived meanwhile by its stamp.
  EXPECT_EQ(ArrivalTime(clocks.wall_ns - 3'600'000'000'000, clocks),
            clocks.steady - std::chrono::hours(1));
  // No stamp, or a stamp after the reading (the wall clock was set back): the reading.
  EXPECT_EQ(ArrivalTime(std::nullopt, clocks), clocks.steady);
  EXPECT_EQ(ArrivalTime(clocks.wall_ns + 1'000'000, clocks), clocks.steady);
}

TEST(ReceiveStamps, DatagramHeldInTheQueueIsDatedByItsArrival) {
  namespace ip = boost::asio::ip;
  boost::asio::io_service io;
  ip::udp::socket receiver(io, ip::udp::endpoint(ip::address_v4::loopback(), 0));
  ip::udp::socket sender(io, ip::udp::v4());
  platform::EnableReceiveTimestamps(static_cast<int>(receiver.native_handle()));
  const int socket = static_cast<int>(receiver.native_handle());
  unsigned char slots[2][64];
  platform::ReceivedDatagram datagrams[2];
  std::error_code error;
  // The kernel turns arrival stamps on for the whole system in deferred work the first
  // time a socket asks; until that work has run (late on a busy machine) a datagram is
  // stamped as it is read. So one dated at its read is tried again, a few times.
  std::chrono::steady_clock::time_point before_send;
  std::chrono::steady_clock::time_point arrival;
  ClockPair read_at;
  for (int attempt = 0; attempt < 10; ++attempt) {
    before_send = std::chrono::steady_clock::now();
    sender.send_to(boost::asio::buffer("held", 4), receiver.local_endpoint());
    // Even loopback may be delivered late (the kernel's deferred work): the datagram is
    // held for 100 ms from when it is seen queued.
    for (int i = 0; i < 500 && receiver.available() == 0; ++i) {
      std::this_thread::sleep_for(milliseconds(10));
    }
    ASSERT_GT(receiver.available(), 0u) << "the datagram never came";
    std::this_thread::sleep_for(milliseconds(100));
    ASSERT_EQ(platform::ReceiveDatagrams(socket, slots[0], 64, datagrams, 2, error), 1)
        << error.message();
    EXPECT_EQ(datagrams[0].length, 4u);
    ASSERT_TRUE(datagrams[0].wall_stamp_ns) << "no receive stamp came with the datagram";
    read_at = ClockPair::Now();
    arrival = ArrivalTime(datagrams[0].wall_stamp_ns, read_at);
    if (arrival < read_at.steady - milliseconds(50)) {
      break;
    }
  }
  // Bounds that a busy machine only widens: it came after the send, 100 ms before the read.
  EXPECT_GT(arrival, before_send - milliseconds(5));
  EXPECT_LT(arrival, read_at.steady - milliseconds(50))
      << "dated when it was read, not when it came, in every try";
  EXPECT_EQ(platform::ReceiveDatagrams(socket, slots[0], 64, datagrams, 2, error), 0);
}

}  // namespace
