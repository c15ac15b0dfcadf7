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

// Whether the header decoder alone takes bytes, whatever would follow the header.
bool HeaderTaken(const std::string& bytes) {
  std::istringstream is(bytes);
  Ipv4Header header;
  return static_cast<bool>(is >> header);
}

TEST(Ipv4Header, RefusesWhatIsNoIpv4HeaderItCanRead) {
  EXPECT_FALSE(HeaderTaken(Datagram(0x65))) << "version 6";
  EXPECT_FALSE(HeaderTaken(Datagram(0x05))) << "version 0";
  EXPECT_FALSE(HeaderTaken(Datagram(0x44))) << "header length 16 bytes, below the fixed part";
  EXPECT_FALSE(HeaderTaken(Datagram(0x40))) << "header length 0";
  // The options the length promises run past the end of the datagram.
  EXPECT_FALSE(HeaderTaken(Datagram(0x46).substr(0, 23))) << "24 bytes promised, 23 there";
  EXPECT_FALSE(HeaderTaken(Datagram(0x4F).substr(0, 59))) << "60 bytes promised, 59 there";
  // Shorter than the fixed part.
  EXPECT_FALSE(HeaderTaken(Datagram(0x45).substr(0, 19)));
  EXPECT_FALSE(HeaderTaken(""));
  // The longest header there is, with nothing after it, is taken.
  EXPECT_TRUE(HeaderTaken(Datagram(0x4F).substr(0, 60)));
}

TEST(Ipv4Header, LeavesTheIcmpMessageAfterTheLongestOptions) {
  const Decoded d = Decode(Datagram(0x4F));
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.ipv4.header_length(), 60u);
  EXPECT_EQ(d.icmp.identifier(), 0x1234);
  EXPECT_EQ(d.icmp.sequence_number(), 7);
}

}  // namespace
