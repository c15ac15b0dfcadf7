#include "platform/relay_message.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

using platform::AddressBytes;
using platform::IpFamily;
using platform::RelayMessage;
using Bytes = std::vector<unsigned char>;

AddressBytes V4(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
  return {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, a, b, c, d};
}

// 2001:db8::1, the documentation range.
const AddressBytes kDocumentation = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

Bytes operator+(Bytes front, const Bytes& back) {
  front.insert(front.end(), back.begin(), back.end());
  return front;
}

Bytes Encoded(const RelayMessage& message) {
  Bytes out(RelayMessage::kMaxSize);
  out.resize(message.Encode(out.data()));
  return out;
}

std::optional<RelayMessage> Decoded(const Bytes& bytes, IpFamily family = IpFamily::kV4) {
  return RelayMessage::Decode(bytes.data(), bytes.size(), family);
}

// An echo request to 127.0.0.1, identifier 0x1234, sequence 0xABCD.
Bytes LoopbackRequest() {
  return {2,   0, 0, 0, 0, 0, 0, 0, 0,    0,    0,    0xFF, 0xFF,
          127, 0, 0, 1, 0, 0, 0, 0, 0x12, 0x34, 0xAB, 0xCD};
}

TEST(RelayMessageTest, EchoRequestsTravelAsTheirWireBytes) {
  const auto decoded = Decoded(LoopbackRequest());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(std::tie(decoded->kind, decoded->address, decoded->identifier, decoded->sequence),
            std::make_tuple(RelayMessage::Kind::kEchoRequest, V4(127, 0, 0, 1), 0x1234, 0xABCD));
  // Encoded, they give back their bytes.
  EXPECT_EQ(Encoded(*decoded), LoopbackRequest());

  // An IPv6 link-local destination keeps its interface.
  Bytes link_local = {2, 0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                      0, 0,    0,    1, 0, 0, 0, 3, 0, 1, 0, 2};
  const auto v6 = Decoded(link_local, IpFamily::kV6);
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->scope_id, 3u);
  EXPECT_EQ(Encoded(*v6), link_local);
}

TEST(RelayMessageTest, DatagramsCarryStampOverflowsSourceAndBytes) {
  const Bytes bytes = {4, 3, 1, 2, 3, 4, 5, 6,    7,    8,  0, 0, 0, 7,    0,    0,   0,
                       0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 0, 0, 2, 0x45, 0x00, 0x00};
  auto datagram = Decoded(bytes);
  ASSERT_TRUE(datagram);
  EXPECT_EQ(
      std::tie(datagram->kind, datagram->wall_stamp_ns, datagram->overflow_count,
               datagram->address),
      std::make_tuple(RelayMessage::Kind::kDatagram, 0x0102030405060708u, 7u, V4(10, 0, 0, 2)));
  EXPECT_EQ(Bytes(datagram->bytes, datagram->bytes + datagram->length), Bytes({0x45, 0, 0}));
  EXPECT_EQ(Encoded(*datagram), bytes);

  // Without a stamp or a count: neither flag, zeros in their place.
  datagram->wall_stamp_ns.reset();
  datagram->overflow_count.reset();
  const auto bare = Decoded(Encoded(*datagram));
  ASSERT_TRUE(bare);
  EXPECT_FALSE(bare->wall_stamp_ns);
  EXPECT_FALSE(bare->overflow_count);

  // Cut to the headers a reply is matched by: a 60-byte IPv4 header and the ICMP header.
  const Bytes long_reply(200, 0x45);
  datagram->bytes = long_reply.data();
  datagram->length = long_reply.size();
  EXPECT_EQ(Decoded(Encoded(*datagram))->length, 68u);
}

TEST(RelayMessageTest, FilterAndReadyWords) {
  EXPECT_EQ(Decoded({3, 0x40, 0x00, 0, 1, 0, 0})->identifier_count, 65536u);
  EXPECT_EQ(Decoded({3, 0x40, 0x00, 0, 1, 0, 0})->first_identifier, 0x4000);
  EXPECT_EQ(Decoded({1, 0, 0, 0, 1})->error, 1);  // EPERM: no right to a raw socket
}

// Whoever runs the helper may write anything to it; none of this may be acted on.
TEST(RelayMessageTest, RefusesAnythingButWellFormedRequestsToUnicastAddresses) {
  auto request_to = [](const AddressBytes& address, std::uint32_t scope = 0) {
    Bytes bytes = LoopbackRequest();
    std::copy(address.begin(), address.end(), bytes.begin() + 1);
    bytes[20] = static_cast<unsigned char>(scope);
    return bytes;
  };
  Bytes short_request = LoopbackRequest();
  short_request.pop_back();
  Bytes long_request = LoopbackRequest();
  long_request.push_back(0);
  const struct {
    std::string what;
    Bytes bytes;
    IpFamily family;
  } refused[] = {
      {"nothing", {}, IpFamily::kV4},
      {"an unknown kind", {9, 0, 0, 0, 0}, IpFamily::kV4},
      {"kind 0", {0}, IpFamily::kV4},
      {"a request a byte short", short_request, IpFamily::kV4},
      {"a request a byte long", long_request, IpFamily::kV4},
      {"multicast", request_to(V4(224, 0, 0, 1)), IpFamily::kV4},
      {"the limited broadcast", request_to(V4(255, 255, 255, 255)), IpFamily::kV4},
      {"a reserved address", request_to(V4(240, 0, 0, 1)), IpFamily::kV4},
      {"this network", request_to(V4(0, 0, 0, 0)), IpFamily::kV4},
      {"an IPv6 address on the IPv4 relay", request_to(kDocumentation), IpFamily::kV4},
      {"an interface for IPv4", request_to(V4(127, 0, 0, 1), 2), IpFamily::kV4},
      {"an IPv4 address on the IPv6 relay", request_to(V4(127, 0, 0, 1)), IpFamily::kV6},
      {"IPv6 multicast", request_to({0xFF, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}),
       IpFamily::kV6},
      {"the unspecified IPv6 address", request_to({}), IpFamily::kV6},
      {"a filter for more identifiers than there are", {3, 0, 0, 0, 1, 0, 1}, IpFamily::kV4},
      {"a filter a byte short", {3, 0, 0, 0, 1, 0}, IpFamily::kV4},
      {"a negative error", {1, 0x80, 0, 0, 0}, IpFamily::kV4},
      {"a datagram flag of no meaning", Bytes{4, 4} + Bytes(28, 0), IpFamily::kV4},
      {"a stamp without its flag", Bytes{4, 0, 1} + Bytes(27, 0), IpFamily::kV4},
      {"a datagram too long", Bytes{4, 0} + Bytes(RelayMessage::kMaxSize - 1, 0), IpFamily::kV4},
  };
  for (const auto& message : refused) {
    EXPECT_FALSE(Decoded(message.bytes, message.family)) << message.what;
  }
  // Loopback and the edges of the unicast range are addresses of hosts.
  EXPECT_TRUE(Decoded(request_to(V4(223, 255, 255, 254))));
  EXPECT_TRUE(Decoded(request_to(V4(1, 0, 0, 0))));
  EXPECT_TRUE(Decoded(request_to(kDocumentation), IpFamily::kV6));
}

}  // namespace
