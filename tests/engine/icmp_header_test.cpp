#include "engine/icmp_header.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> Bytes(const IcmpHeader& header) {
  std::ostringstream os;
  os << header;
  const std::string s = os.str();
  return {s.begin(), s.end()};
}

IcmpHeader EchoRequest(std::uint16_t identifier, std::uint16_t sequence) {
  IcmpHeader header;
  header.type(IcmpHeader::kEchoRequest);
  header.code(0);
  header.identifier(identifier);
  header.sequence_number(sequence);
  header.ComputeChecksum();
  return header;
}

// In network order, the checksum's carries folded twice.
TEST(IcmpHeader, EncodesEchoRequest) {
  EXPECT_EQ(Bytes(EchoRequest(0x1234, 1)),
            (std::vector<unsigned char>{0x08, 0x00, 0xE5, 0xCA, 0x12, 0x34, 0x00, 0x01}));
  EXPECT_EQ(EchoRequest(0xFFFF, 0xFFFF).checksum(), 0xF7FF);
  // A folded sum of 0xFFFF gives 0x0000 on the wire, not 0xFFFF.
  EXPECT_EQ(Bytes(EchoRequest(0xF7FF, 0))[2], 0x00);
  EXPECT_EQ(EchoRequest(0xF7FF, 0).checksum(), 0x0000);
}

}  // namespace
