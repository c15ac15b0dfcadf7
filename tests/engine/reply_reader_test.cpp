#include "engine/reply_reader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "engine/channel_table.h"
#include "engine/schedule_driver.h"
#include "tests/engine/offline_engine.h"
#include "tests/engine/udp_loopback.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

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
  boost::asio::io_service io{1};
  OfflineEngine e;
  ReadingParts parts(io, e, &FailFirstRead);
  auto& [receive_errors, drops, stalls, channels, reader, driver] = parts;
  UdpLoopback udp(io);
  channels.Add(udp.Open(), platform::IpFamily::kV4);
  driver.WatchArrivals();
  ASSERT_NE(channels[0].waiter, nullptr);

  udp.Send();
  reads.clear();
  reader.StartReceive(0);
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  while (e.malformed == 0 && Clock::now() < deadline) {
    io.run_one_for(milliseconds(20));
  }
  EXPECT_EQ(receive_errors, 1u);
  EXPECT_EQ(e.malformed, 1u) << "the datagram was never read after the failure";
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_GE(reads[1] - reads[0], milliseconds(100)) << "read again without a pause";
}

}  // namespace
