#ifndef LUMORET_ENGINE_IPV4_HEADER_H
#define LUMORET_ENGINE_IPV4_HEADER_H

#include <boost/asio/ip/address_v4.hpp>
#include <cstdint>
#include <istream>

// IPv4 header (RFC 791), as received in front of every datagram on a raw socket.
//
//  0      4      8              16     19                          31
// +------+------+---------------+------------------------------------+      ---
// |ver(4)| IHL  |      TOS      |            total length            |       ^
// +------+------+---------------+------+-----------------------------+       |
// |        identification       |flags |       fragment offset       |       |
// +-------------+---------------+------+-----------------------------+       |
// |     TTL     |   protocol    |          header checksum           |   20 bytes
// +-------------+---------------+------------------------------------+       |
// |                        source address                            |       |
// +------------------------------------------------------------------+       |
// |                      destination address                         |       v
// +------------------------------------------------------------------+      ---
// |                     options (IHL*4 - 20 bytes, up to 40)          |
// +------------------------------------------------------------------+
//
// Only the version, the header length and the source address are interpreted;
// everything else is kept as received.
class Ipv4Header {
 public:
  static constexpr std::size_t kFixedSize = 20;
  static constexpr std::size_t kMaxSize = 60;

  Ipv4Header() = default;

  unsigned version() const { return (rep_[0] >> 4) & 0xF; }
  // In bytes: the IHL counts 32-bit words.
  unsigned header_length() const { return (rep_[0] & 0xF) * 4u; }
  boost::asio::ip::address_v4 source_address() const {
    return boost::asio::ip::address_v4({rep_[12], rep_[13], rep_[14], rep_[15]});
  }

  // Reads the fixed part and the options; a header that is not version 4 or whose
  // IHL is below 5 puts the stream into the failed state.
  friend std::istream& operator>>(std::istream& is, Ipv4Header& header);

 private:
  unsigned char rep_[kMaxSize] = {};
};

#endif  // LUMORET_ENGINE_IPV4_HEADER_H
