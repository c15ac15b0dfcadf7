#ifndef LUMORET_PLATFORM_RELAY_MESSAGE_H
#define LUMORET_PLATFORM_RELAY_MESSAGE_H

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/icmp_socket.h"

namespace platform {

// One message between the program and its ICMP helper (lumoret-icmp), over a relay: a
// SOCK_SEQPACKET socket pair per family, so that each message arrives whole or not at all.
// Integers go in network byte order, byte by byte. The helper takes requests from any
// user, so Decode accepts only what the helper may act on: an echo request names no more
// than its identifier, sequence number and a unicast destination of the relay's family.
//
//  kReady      kind | error (4)                                        program <- helper
//  kEchoRequest kind | destination (16) | scope id (4) | identifier (2) | sequence (2)
//  kFilter     kind | first identifier (2) | count (4)                 program -> helper
//  kDatagram   kind | flags (1) | stamp ns (8) | overflows (4) | source (16) | bytes
//
// Addresses are 16 bytes, IPv4 in its IPv4-mapped form, as in ReceivedDatagram.
class RelayMessage {
 public:
  enum class Kind : std::uint8_t {
    kReady = 1,        // the helper's first message: did the raw socket open?
    kEchoRequest = 2,  // send an echo request
    kFilter = 3,       // let only echo replies of these identifiers through; may only widen
    kDatagram = 4,     // a datagram the raw socket received
  };
  // An echo request as the engine hands it to SendDatagram: the ICMP header alone.
  static constexpr std::size_t kEchoBytes = 8;
  // What of a datagram the helper relays: the largest IPv4 header and the ICMP header
  // behind it, all that a reply is matched by; payloads stay in the helper.
  static constexpr std::size_t kMaxDatagramBytes = 68;
  // The longest message, a datagram's.
  static constexpr std::size_t kMaxSize = 30 + kMaxDatagramBytes;

  Kind kind = Kind::kReady;      // which message this is; the fields of other kinds are unused
  int error = 0;                 // kReady: the errno of opening the raw socket, 0 when it is open
  AddressBytes address{};        // kEchoRequest: the destination; kDatagram: the sender
  std::uint32_t scope_id = 0;    // kEchoRequest: an IPv6 link-local destination's interface
  std::uint16_t identifier = 0;  // kEchoRequest: of the request
  std::uint16_t sequence = 0;    // kEchoRequest: of the request
  std::uint16_t first_identifier = 0;           // kFilter: the first identifier let through
  std::uint32_t identifier_count = 0;           // kFilter: how many, at most 65,536
  std::optional<std::int64_t> wall_stamp_ns;    // kDatagram: the kernel's arrival stamp
  std::optional<std::uint32_t> overflow_count;  // kDatagram: the raw socket's drops so far
  const unsigned char* bytes = nullptr;         // kDatagram: the datagram, not owned
  std::size_t length = 0;                       // kDatagram: its length, kMaxDatagramBytes at most

  // Writes the message into out (kMaxSize bytes); returns its length. A datagram longer
  // than kMaxDatagramBytes is cut.
  std::size_t Encode(unsigned char* out) const;
  // The message in data, if it is one, well formed, of a relay of family (for an echo
  // request: a unicast destination of that family). A datagram's bytes point into data.
  static std::optional<RelayMessage> Decode(const unsigned char* data, std::size_t length,
                                            IpFamily family);
  // Whether address (16 bytes, IPv4-mapped for IPv4) may be sent an echo request on a
  // relay of family: a single host's address, not a group's, everybody's or nobody's.
  static bool IsUnicast(const AddressBytes& address, IpFamily family);
};

}  // namespace platform

#endif  // LUMORET_PLATFORM_RELAY_MESSAGE_H
