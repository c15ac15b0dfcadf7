#ifndef LUMORET_TESTS_ENGINE_UDP_LOOPBACK_H
#define LUMORET_TESTS_ENGINE_UDP_LOOPBACK_H

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>

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

#endif  // LUMORET_TESTS_ENGINE_UDP_LOOPBACK_H
