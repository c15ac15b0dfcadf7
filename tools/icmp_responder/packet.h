#ifndef LUMORET_TOOLS_ICMP_RESPONDER_PACKET_H
#define LUMORET_TOOLS_ICMP_RESPONDER_PACKET_H

#include <cstddef>
#include <cstdint>
#include <vector>

// Wire code of the test responder. It is written apart from the engine's header classes on
// purpose: a shared mistake would let the engine and its test agree on a wrong format.
// Addresses are host-order 32-bit values; everything on the wire is big-endian.
namespace packet {

constexpr std::uint8_t kEchoReply = 0;
constexpr std::uint8_t kUnreachable = 3;
constexpr std::uint8_t kEchoRequest = 8;

// RFC 1071 one's-complement sum over n bytes, complemented.
std::uint16_t InternetChecksum(const std::uint8_t* p, std::size_t n);

// An ICMP echo request taken from a received IPv4 datagram.
struct EchoRequest {
  std::uint32_t source = 0;
  std::uint32_t destination = 0;
  std::uint16_t identifier = 0;
  std::uint16_t sequence = 0;
  std::uint8_t code = 0;
  bool checksum_ok = false;
  std::vector<std::uint8_t> data;      // bytes behind the 8-byte ICMP header
  std::vector<std::uint8_t> original;  // IPv4 header + 8 bytes, as an ICMP error quotes it
};

// False for anything that is not a well-formed IPv4 datagram carrying an echo request.
bool ParseEchoRequest(const std::uint8_t* p, std::size_t n, EchoRequest& out);

// An ICMP message: type, code, the 4 bytes of rest-of-header, the body; checksummed
// unless bad_checksum, which stores the correct value plus one.
std::vector<std::uint8_t> IcmpMessage(std::uint8_t type, std::uint8_t code, std::uint16_t word1,
                                      std::uint16_t word2, const std::vector<std::uint8_t>& body,
                                      bool bad_checksum = false);

// A whole IPv4 datagram for a socket with IP_HDRINCL: option_bytes (a multiple of 4, at
// most 40) of NOP options, and the version nibble as given (4 unless testing the kernel).
std::vector<std::uint8_t> Ipv4Datagram(std::uint32_t source, std::uint32_t destination,
                                       const std::vector<std::uint8_t>& payload,
                                       std::size_t option_bytes = 0, std::uint8_t version = 4);

}  // namespace packet

#endif  // LUMORET_TOOLS_ICMP_RESPONDER_PACKET_H
