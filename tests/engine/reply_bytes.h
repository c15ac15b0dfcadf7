#ifndef LUMORET_TESTS_ENGINE_REPLY_BYTES_H
#define LUMORET_TESTS_ENGINE_REPLY_BYTES_H

#include <algorithm>
#include <boost/asio/ip/address_v4.hpp>
#include <cstddef>
#include <cstdint>
#include <string>

// Echo replies as a peer sends them, built without the engine's header classes.

// An ICMP echo reply message alone, as a datagram or ICMPv6 socket delivers it.
inline std::string IcmpReply(std::uint16_t identifier, std::uint16_t sequence,
                             std::uint8_t type = 0) {
  std::string icmp = {static_cast<char>(type), 0, 0x12, 0x34};  // code, checksum
  for (const std::uint16_t word : {identifier, sequence}) {
    icmp += {static_cast<char>(word >> 8), static_cast<char>(word & 0xFF)};
  }
  return icmp;
}

// The same behind an IPv4 header from source with options bytes of options, as a raw
// IPv4 socket delivers it.
inline std::string EchoReply(const char* source, std::uint16_t identifier, std::uint16_t sequence,
                             std::uint8_t type = 0, std::size_t options = 0) {
  std::string d(20 + options, '\0');
  d[0] = static_cast<char>(0x45 + options / 4);
  const auto src = boost::asio::ip::make_address_v4(source).to_bytes();
  std::copy(src.begin(), src.end(), d.begin() + 12);
  return d + IcmpReply(identifier, sequence, type);
}

#endif  // LUMORET_TESTS_ENGINE_REPLY_BYTES_H
