#ifndef LUMORET_ENGINE_SOCKET_CHANNEL_H
#define LUMORET_ENGINE_SOCKET_CHANNEL_H

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/icmp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/platform.h"

// One socket of the engine with what reading it needs: its waiter, its retry timer and the
// drop count the system last told for it.
class SocketChannel {
 public:
  // Takes over descriptor and asks the system for arrival stamps and drop counts on it.
  SocketChannel(boost::asio::io_service& io_service, int descriptor, platform::IpFamily family);
  ~SocketChannel();
  SocketChannel(const SocketChannel&) = delete;
  SocketChannel& operator=(const SocketChannel&) = delete;

  const int descriptor;  // its targets' requests and replies; owned, through waiter if any
  const platform::IpFamily family;  // ICMP over IPv4, or ICMPv6
  const platform::SocketKind kind;  // raw or datagram
  // Wakes the worker when a datagram arrives. Without it, the socket is read at the
  // schedule's wake-ups instead (ScheduleDriver::WatchArrivals).
  std::unique_ptr<boost::asio::ip::icmp::socket> waiter;
  // Reads the socket again a while after a failed read, so an error cannot spin.
  boost::asio::steady_timer receive_retry_timer;
  std::size_t target_count = 0;    // resolved targets whose requests it carries
  std::uint32_t socket_drops = 0;  // the latest count of drops the system told for it
};

#endif  // LUMORET_ENGINE_SOCKET_CHANNEL_H
