#include "engine/reply_reader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "tests/engine/udp_loopback.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<Clock::time_point> reads;  // when each read of FailFirstRead began

// Fails the first read as a broken socket would, then reads for real.
int FailFirstRead(int socket, unsigned char* slots, std::size_t slot_size,
                  platform::ReceivedDatagram* datagrams, int count, std::error_code& error) {
  reads.push_back(Clock::now());
  if (reads.size() == 1) {
    error = std::make_error_code(std::errc::connection_reset);
    return -1;
  }
  return platform::ReceiveDatagrams(socket, slots, slot_size, datagrams, count, error);
}

// A failed read is counted once, and the socket is read again after a pause: neither
// given up on for good nor read again at once, which would spin on a lasting failure.
TEST(ReplyReader, FailedReadIsCountedAndRetriedAfterAPause) {
  UdpLoopback udp(&FailFirstRead);
  udp.Open();
  udp.driver.WatchArrivals();
  ASSERT_NE(udp.channels[0].waiter, nullptr);
  udp.Send();
  reads.clear();
  udp.reader.StartReceive(0);
  udp.RunUntilRead(std::chrono::seconds(2));
  EXPECT_EQ(udp.receive_errors, 1u);
  EXPECT_EQ(udp.engine.malformed, 1u) << "the datagram was never read after the failure";
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_GE(reads[1] - reads[0], std::chrono::milliseconds(100)) << "read again without a pause";
}

}  // namespace
