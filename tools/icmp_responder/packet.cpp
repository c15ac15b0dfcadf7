#include "tools/icmp_responder/packet.h"

#include <algorithm>

namespace packet {
namespace {

std::uint16_t Get16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

std::uint32_t Get32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         p[3];
}

void Put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}

void Put32(std::uint8_t* p, std::uint32_t v) {
  Put16(p, static_cast<std::uint16_t>(v >> 16));
  Put16(p + 2, static_cast<std::uint16_t>(v));
}

}  // namespace

std::uint16_t InternetChecksum(const std::uint8_t* p, std::size_t n) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < n; i += 2) {
    sum += Get16(p + i);
  }
  if (n % 2 == 1) {
    sum += static_cast<std::uint32_t>(p[n - 1]) << 8;  // odd byte padded with zero
  }
  while (sum >> 16) {
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return static_cast<std::uint16_t>(~sum);
}

bool ParseEchoRequest(const std::uint8_t* p, std::size_t n, EchoRequest& out) {
  if (n < 20 || (p[0] >> 4) != 4) {
    return false;
  }
  const std::size_t ihl = (p[0] & 0x0F) * 4u;
  const std::size_t total = Get16(p + 2);
  if (ihl < 20 || p[9] != 1 || total > n || total < ihl + 8) {
    return false;
  }
  const std::uint8_t* icmp = p + ihl;
  const std::size_t icmp_length = total - ihl;
  if (icmp[0] != kEchoRequest) {
    return false;
  }
  out.source = Get32(p + 12);
  out.destination = Get32(p + 16);
  out.code = icmp[1];
  out.identifier = Get16(icmp + 4);
  out.sequence = Get16(icmp + 6);
  out.checksum_ok = InternetChecksum(icmp, icmp_length) == 0;
  out.data.assign(icmp + 8, icmp + icmp_length);
  out.original.assign(p, p + ihl + 8);
  return true;
}

std::vector<std::uint8_t> IcmpMessage(std::uint8_t type, std::uint8_t code, std::uint16_t word1,
                                      std::uint16_t word2, const std::vector<std::uint8_t>& body,
                                      bool bad_checksum) {
  std::vector<std::uint8_t> m(8 + body.size());
  m[0] = type;
  m[1] = code;
  Put16(&m[4], word1);
  Put16(&m[6], word2);
  std::copy(body.begin(), body.end(), m.begin() + 8);
  std::uint16_t checksum = InternetChecksum(m.data(), m.size());
  if (bad_checksum) {
    ++checksum;
  }
  Put16(&m[2], checksum);
  return m;
}

std::vector<std::uint8_t> Ipv4Datagram(std::uint32_t source, std::uint32_t destination,
                                       const std::vector<std::uint8_t>& payload,
                                       std::size_t option_bytes, std::uint8_t version) {
  const std::size_t header = 20 + option_bytes;
  std::vector<std::uint8_t> d(header + payload.size());
  d[0] = static_cast<std::uint8_t>((version << 4) | (header / 4));
  Put16(&d[2], static_cast<std::uint16_t>(d.size()));
  d[8] = 64;  // time to live
  d[9] = 1;   // ICMP
  Put32(&d[12], source);
  Put32(&d[16], destination);
  // NOP options: valid, so the receiving kernel keeps the datagram.
  std::fill(d.begin() + 20, d.begin() + header, 1);
  Put16(&d[10], InternetChecksum(d.data(), header));
  std::copy(payload.begin(), payload.end(), d.begin() + header);
  return d;
}

}  // namespace packet
