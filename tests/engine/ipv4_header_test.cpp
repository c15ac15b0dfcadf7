#include "engine/ipv4_header.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "engine/icmp_header.h"

namespace {

// A datagram of an IPv4 header with the given first byte (version and IHL) and
// source 10.1.2.3, then the ICMP bytes "\x00\x00\xAA\xBB\x12\x34\x00\x07".
std::string Datagram(unsigned char version_ihl) {
  const std::size_t header_length = (version_ihl & 0xF) * 4u;
  std::string d(std::max<std::size_t>(header_length, 20), '\x55');
  d[0] = static_cast<char>(version_ihl);
  d[12] = 10, d[13] = 1, d[14] = 2, d[15] = 3;
  d += std::string("\x00\x00\xAA\xBB\x12\x34\x00\x07", 8);
  return d;
}

struct Decoded {
  bool ok;
  Ipv4Header ipv4;
  IcmpHeader icmp;
};

Decoded Decode(const std::string& datagram) {
  std::istringstream is(datagram);
  Decoded d{};
  is >> d.ipv4 >> d.icmp;
  d.ok = static_cast<bool>(is);
  return d;
}

TEST(Ipv4Header, DecodesPlainHeaderAndFollowingIcmp) {
  const Decoded d = Decode(Datagram(0x45));
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.ipv4.version(), 4u);
  EXPECT_EQ(d.ipv4.header_length(), 20u);
  EXPECT_EQ(d.ipv4.source_address(), boost::asio::ip::make_address_v4("10.1.2.3"));
  EXPECT_EQ(d.icmp.identifier(), 0x1234);
  EXPECT_EQ(d.icmp.sequence_number(), 7);
}

}  // namespace
