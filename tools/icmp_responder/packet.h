#ifndef LUMORET_TOOLS_ICMP_RESPONDER_PACKET_H
#define LUMORET_TOOLS_ICMP_RESPONDER_PACKET_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Wire code of the test responder. It is written apart from the engine's header classes on
// purpose: a shared mistake would let the engine and its test agree on a wrong format.
// IPv4 addresses in the IPv4 datagram code are host-order 32-bit values; everything on the
// wire is big-endian.
namespace packet {

constexpr std::uint8_t kEchoReply = 0;
constexpr std::uint8_t kUnreachable = 3;
constexpr std::uint8_t kEchoRequest = 8;
constexpr std::uint8_t kUnreachable6 = 1;
constexpr std::uint8_t kAddressUnreachable6 = 3;  // code of kUnreachable6
constexpr std::uint8_t kEchoRequest6 = 128;
constexpr std::uint8_t kEchoReply6 = 129;

// An IPv4 or IPv6 address in network byte order, an IPv4 one as IPv4-mapped IPv6
// (::ffff:a.b.c.d): one type, one ordering and one prefix match serve both families.
using Address = std::array<std::uint8_t, 16>;

Address FromIpv4(std::uint32_t address);
bool IsIpv4(const Address& address);
// The IPv4 address of a mapped one.
std::uint32_t ToIpv4(const Address& address);
// The next address up (wrapping within the family's space for IPv4).
Address Next(const Address& address);
// Dotted quad for IPv4, RFC 5952 text for IPv6.
std::string Text(const Address& address);
// Either family's text; IPv4 text gives a mapped address. False for anything else.
bool Parse(const std::string& text, Address& out);

// RFC 1071 one's-complement sum over n bytes, complemented.
std::uint16_t InternetChecksum(const std::uint8_t* p, std::size_t n);

// An ICMP echo request taken from a received IPv4 datagram, or an ICMPv6 one.
struct EchoRequest {
  Address source{};
  Address destination{};
  std::uint16_t identifier = 0;
  std::uint16_t sequence = 0;
  std::uint8_t code = 0;
  bool checksum_ok = false;
  std::vector<std::uint8_t> data;  // bytes behind the 8-byte ICMP header
  // What an error message quotes: the IPv4 header + 8 bytes, or for IPv6 a rebuilt header
  // and as much of the request as fits the minimum MTU.
  std::vector<std::uint8_t> original;
};

// False for anything that is not a well-formed IPv4 datagram carrying an echo request.
bool ParseEchoRequest(const std::uint8_t* p, std::size_t n, EchoRequest& out);

// An ICMPv6 message as a raw ICMPv6 socket hands it over (no IPv6 header; the addresses come
// from the socket). False for anything but an echo request of at least 8 bytes.
bool ParseEcho6Request(const std::uint8_t* p, std::size_t n, const Address& source,
                       const Address& destination, EchoRequest& out);

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
