#include "tools/icmp_responder/packet.h"

#include <arpa/inet.h>

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

// Bytes of the IPv4-mapped prefix ::ffff:0:0/96.
constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
constexpr std::size_t kIpv6Header = 40;
constexpr std::uint8_t kNextHeaderIcmp6 = 58;
// The longest quote that keeps an ICMPv6 error within the minimum IPv6 MTU (1280).
constexpr std::size_t kMaxQuote6 = 1280 - kIpv6Header - 8;

// The header the request came with, as far as the socket tells it: a raw ICMPv6 socket
// hands over no IP header, so the hop limit is a typical one.
std::vector<std::uint8_t> Ipv6Header(const Address& source, const Address& destination,
                                     std::size_t payload) {
  std::vector<std::uint8_t> h(kIpv6Header);
  h[0] = 0x60;
  Put16(&h[4], static_cast<std::uint16_t>(payload));
  h[6] = kNextHeaderIcmp6;
  h[7] = 64;
  std::copy(source.begin(), source.end(), h.begin() + 8);
  std::copy(destination.begin(), destination.end(), h.begin() + 24);
  return h;
}

}  // namespace

Address FromIpv4(std::uint32_t address) {
  Address a{};
  std::copy(std::begin(kMapped), std::end(kMapped), a.begin());
  Put32(&a[12], address);
  return a;
}

bool IsIpv4(const Address& address) {
  return std::equal(std::begin(kMapped), std::end(kMapped), address.begin());
}

std::uint32_t ToIpv4(const Address& address) {
  return Get32(&address[12]);
}

Address Next(const Address& address) {
  if (IsIpv4(address)) {
    return FromIpv4(ToIpv4(address) + 1);
  }
  Address next = address;
  for (std::size_t i = next.size(); i-- > 0 && ++next[i] == 0;) {
  }
  return next;
}

std::string Text(const Address& address) {
  char text[INET6_ADDRSTRLEN];
  if (IsIpv4(address)) {
    inet_ntop(AF_INET, &address[12], text, sizeof text);
  } else {
    inet_ntop(AF_INET6, address.data(), text, sizeof text);
  }
  return text;
}

bool Parse(const std::string& text, Address& out) {
  std::uint8_t bytes[16];
  if (inet_pton(AF_INET, text.c_str(), bytes) == 1) {
    out = FromIpv4(Get32(bytes));
    return true;
  }
  if (inet_pton(AF_INET6, text.c_str(), bytes) == 1) {
    std::copy(std::begin(bytes), std::end(bytes), out.begin());
    return true;
  }
  return false;
}

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
  out.source = FromIpv4(Get32(p + 12));
  out.destination = FromIpv4(Get32(p + 16));
  out.code = icmp[1];
  out.identifier = Get16(icmp + 4);
  out.sequence = Get16(icmp + 6);
  out.checksum_ok = InternetChecksum(icmp, icmp_length) == 0;
  out.data.assign(icmp + 8, icmp + icmp_length);
  out.original.assign(p, p + ihl + 8);
  return true;
}

bool ParseEcho6Request(const std::uint8_t* p, std::size_t n, const Address& source,
                       const Address& destination, EchoRequest& out) {
  if (n < 8 || n > 0xFFFF || p[0] != kEchoRequest6) {
    return false;
  }
  out.source = source;
  out.destination = destination;
  out.code = p[1];
  out.identifier = Get16(p + 4);
  out.sequence = Get16(p + 6);
  // The checksum covers a pseudo-header: both addresses, the length, the next header.
  std::vector<std::uint8_t> pseudo(kIpv6Header + n);
  std::copy(source.begin(), source.end(), pseudo.begin());
  std::copy(destination.begin(), destination.end(), pseudo.begin() + 16);
  Put32(&pseudo[32], static_cast<std::uint32_t>(n));
  pseudo[39] = kNextHeaderIcmp6;
  std::copy(p, p + n, pseudo.begin() + kIpv6Header);
  out.checksum_ok = InternetChecksum(pseudo.data(), pseudo.size()) == 0;
  std::vector<std::uint8_t> whole = Ipv6Header(source, destination, n);
  whole.insert(whole.end(), p, p + n);
  out.data.assign(p + 8, p + n);
  whole.resize(std::min(whole.size(), kMaxQuote6));
  out.original = std::move(whole);
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
