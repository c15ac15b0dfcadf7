// The engine's reading side over loopback UDP sockets: the reader's retry and the
// schedule driver's reads at its wake-ups.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>
#include <chrono>
#include <cstdint>
#include <vector>

#include "engine/channel_table.h"
#include "engine/reply_reader.h"
#include "engine/schedule_driver.h"
#include "tests/engine/offline_engine.h"

namespace {

// The engine's reading side (socket channels, reader, the schedule's driver) over an
// offline engine, with UDP sockets on loopback standing in for ICMP sockets where only
// reading is tested: the engine reads them as datagram sockets, and opening them needs no
// rights. What Send sends is too short to be ICMP, so each datagram read is malformed.
struct UdpLoopback {
  explicit UdpLoopback(ReplyReader::ReceiveFunction receive = &platform::ReceiveDatagrams)
      : channels(io, engine.path),
        reader(
            io, channels, engine.path, receive_errors, drops, [] {}, receive),
        driver(io, engine.schedule, channels, reader, stalls) {}

  // Adds a new socket on loopback as the next channel; Send reaches it.
  void Open() {
    namespace ip = boost::asio::ip;
    ip::udp::socket socket(io, ip::udp::endpoint(ip::address_v4::loopback(), 0));
    to_ = socket.local_endpoint();
    channels.Add(socket.release(), platform::IpFamily::kV4);
  }
  // Sends a datagram to the socket opened last.
  void Send() { sender_.send_to(boost::asio::buffer("ping", 4), to_); }
  // Runs the I/O service until a datagram has been read, for at most bound.
  void RunUntilRead(std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (engine.malformed == 0 && std::chrono::steady_clock::now() < deadline) {
      io.run_one_for(std::chrono::milliseconds(20));
    }
  }

  boost::asio::io_service io{1};                 // runs every handler on the test's thread
  OfflineEngine engine;                          // targets and the receive path
  std::atomic<std::uint32_t> receive_errors{0};  // failed waits and reads
  std::atomic<std::uint32_t> drops{0};           // the system's drops, as reported
  std::atomic<std::uint32_t> stalls{0};          // late wake-ups
  ChannelTable channels;                         // the sockets read
  ReplyReader reader;                            // reads them into the receive path
  ScheduleDriver driver;                         // the schedule's timer and wake-ups

 private:
  boost::asio::ip::udp::socket sender_{io, boost::asio::ip::udp::v4()};  // an ephemeral port
  boost::asio::ip::udp::endpoint to_;                                    // the socket opened last
};

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
