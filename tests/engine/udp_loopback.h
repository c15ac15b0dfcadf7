#ifndef LUMORET_TESTS_ENGINE_UDP_LOOPBACK_H
#define LUMORET_TESTS_ENGINE_UDP_LOOPBACK_H

#include <atomic>
#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>
#include <cstdint>

#include "engine/channel_table.h"
#include "engine/reply_reader.h"
#include "engine/schedule_driver.h"
#include "tests/engine/offline_engine.h"

// A UDP socket on loopback stands in for an ICMP socket where only reading is tested:
// the engine reads it as a datagram socket, and opening it needs no rights.
class UdpLoopback {
 public:
  explicit UdpLoopback(boost::asio::io_service& io) : sender_(io, boost::asio::ip::udp::v4()) {}

  // A new socket on loopback, handed over by descriptor; Send reaches it.
  int Open() {
    namespace ip = boost::asio::ip;
    ip::udp::socket socket(sender_.get_executor(),
                           ip::udp::endpoint(ip::address_v4::loopback(), 0));
    to_ = socket.local_endpoint();
    return socket.release();
  }
  // Sends a datagram too short to be ICMP to the socket opened last.
  void Send() { sender_.send_to(boost::asio::buffer("ping", 4), to_); }

 private:
  boost::asio::ip::udp::socket sender_;  // sends from an ephemeral port
  boost::asio::ip::udp::endpoint to_;    // the socket opened last
};

// The engine's reading side over an offline engine's receive path: its socket channels,
// the reader (batches read by receive) and the schedule's driver, with their counters.
struct ReadingParts {
  ReadingParts(boost::asio::io_service& io, OfflineEngine& engine,
               ReplyReader::ReceiveFunction receive = &platform::ReceiveDatagrams)
      : channels(io, engine.path),
        reader(
            io, channels, engine.path, receive_errors, drops, [] {}, receive),
        driver(io, engine.schedule, channels, reader, stalls) {}

  std::atomic<std::uint32_t> receive_errors{0};  // failed waits and reads
  std::atomic<std::uint32_t> drops{0};           // the system's drops, as reported
  std::atomic<std::uint32_t> stalls{0};          // late wake-ups
  ChannelTable channels;                         // the sockets read
  ReplyReader reader;                            // reads them into the receive path
  ScheduleDriver driver;                         // the schedule's timer and wake-ups
};

#endif  // LUMORET_TESTS_ENGINE_UDP_LOOPBACK_H
