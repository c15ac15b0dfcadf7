#include "engine/ipv4_header.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

// A datagram of an IPv4 header with the given first byte (version and IHL), then eight
// bytes of ICMP. Decoding a good header and what follows it is receive_path_test's.
std::string Datagram(unsigned char version_ihl) {
  const std::size_t header_length = (version_ihl & 0xF) * 4u;
  std::string d(std::max<std::size_t>(header_length, 20), '\x55');
  d[0] = static_cast<char>(version_ihl);
  d += std::string("\x00\x00\xAA\xBB\x12\x34\x00\x07", 8);
  return d;
}

TEST(Ipv4Header, RefusesWhatIsNoIpv4HeaderItCanRead) {
  const struct {
    std::string bytes;
    bool taken;
    const char* what;
  } cases[] = {
      {Datagram(0x65), false, "version 6"},
      {Datagram(0x05), false, "version 0"},
      {Datagram(0x44), false, "header length 16 bytes, below the fixed part"},
      {Datagram(0x40), false, "header length 0"},
      {Datagram(0x46).substr(0, 23), false, "24 bytes promised, 23 there"},
      {Datagram(0x4F).substr(0, 59), false, "60 bytes promised, 59 there"},
      {Datagram(0x45).substr(0, 19), false, "shorter than the fixed part"},
      {"", false, "nothing"},
      {Datagram(0x4F).substr(0, 60), true, "the longest header, nothing after it"},
  };
  for (const auto& c : cases) {
    std::istringstream is(c.bytes);
    Ipv4Header header;
    EXPECT_EQ(static_cast<bool>(is >> header), c.taken) << c.what;
  }
}

}  // namespace
