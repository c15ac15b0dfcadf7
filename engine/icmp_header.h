#ifndef LUMORET_ENGINE_ICMP_HEADER_H
#define LUMORET_ENGINE_ICMP_HEADER_H

#include <cstdint>
#include <istream>
#include <ostream>

// ICMP (or ICMPv6) echo header, as it stands on the wire.
//
//  0               8               16                             31
// +---------------+---------------+------------------------------+      ---
// |     type      |     code      |          checksum            |       ^
// +---------------+---------------+------------------------------+     8 bytes
// |           identifier          |       sequence number        |       v
// +-------------------------------+------------------------------+      ---
//
// The bytes are kept in network order and every 16-bit field is assembled byte
// by byte, so the layout never depends on the host's byte order.
class IcmpHeader {
 public:
  // ICMP's echo types, and ICMPv6's (same header, other numbers).
  static constexpr std::uint8_t kEchoReply = 0;        // ICMP echo reply
  static constexpr std::uint8_t kEchoRequest = 8;      // ICMP echo request
  static constexpr std::uint8_t kEchoRequestV6 = 128;  // ICMPv6 echo request
  static constexpr std::uint8_t kEchoReplyV6 = 129;    // ICMPv6 echo reply
  static constexpr std::size_t kSize = 8;

  IcmpHeader() = default;

  std::uint8_t type() const { return rep_[0]; }
  std::uint8_t code() const { return rep_[1]; }
  std::uint16_t checksum() const { return Decode(2, 3); }
  std::uint16_t identifier() const { return Decode(4, 5); }
  std::uint16_t sequence_number() const { return Decode(6, 7); }

  void type(std::uint8_t n) { rep_[0] = n; }
  void code(std::uint8_t n) { rep_[1] = n; }
  void checksum(std::uint16_t n) { Encode(2, 3, n); }
  void identifier(std::uint16_t n) { Encode(4, 5, n); }
  void sequence_number(std::uint16_t n) { Encode(6, 7, n); }

  // The 8 bytes as they go on the wire.
  const unsigned char* data() const { return rep_; }

  // Internet checksum (RFC 1071) of the 8 bytes, with the checksum word taken as zero.
  void ComputeChecksum();

  friend std::istream& operator>>(std::istream& is, IcmpHeader& header);
  friend std::ostream& operator<<(std::ostream& os, const IcmpHeader& header);

 private:
  std::uint16_t Decode(int a, int b) const {
    return static_cast<std::uint16_t>((rep_[a] << 8) | rep_[b]);
  }
  void Encode(int a, int b, std::uint16_t n) {
    rep_[a] = static_cast<unsigned char>(n >> 8);
    rep_[b] = static_cast<unsigned char>(n & 0xFF);
  }

  unsigned char rep_[kSize] = {};
};

#endif  // LUMORET_ENGINE_ICMP_HEADER_H
