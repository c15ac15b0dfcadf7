#ifndef LUMORET_TESTS_ENGINE_UDP_LOOPBACK_H
#define LUMORET_TESTS_ENGINE_UDP_LOOPBACK_H

#include <atomic>
#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>
#include <chrono>
#include <cstdint>

#include "engine/channel_table.h"
#include "engine/reply_reader.h"
#include "engine/schedule_driver.h"
#include "tests/engine/offline_engine.h"

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

#endif  // LUMORET_TESTS_ENGINE_UDP_LOOPBACK_H
