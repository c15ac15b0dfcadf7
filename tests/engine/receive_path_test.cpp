// The receive path without sockets: targets that send nowhere, replies fed as bytes.
#include "engine/receive_path.h"

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/engine/offline_engine.h"
#include "tests/engine/reply_bytes.h"

namespace {

using platform::IpFamily;
using platform::SocketKind;

// The identifier of the target at offset's requests on a raw socket.
std::uint16_t Id(int offset) {
  return static_cast<std::uint16_t>(platform::GetPid() + offset);
}

TEST(ReceivePath, MatchesRawRepliesByIdentifierSequenceAndSource) {
  OfflineEngine e;
  e.path.AddSocket(IpFamily::kV4, SocketKind::kRaw);
  for (const char* host : {"127.0.0.1", "127.0.0.2", "127.0.0.3", ""}) {
    e.AddTarget(host);
  }
  DelayTarget& t1 = *e.targets[1];
  // Past the unaccounted first request, with the second one outstanding.
  t1.StartSend();
  e.Deliver(EchoReply("127.0.0.2", Id(1), 1));
  t1.StartSend();
  ASSERT_EQ(t1.sequence_number(), 2);

  e.Deliver(EchoReply("127.0.0.2", Id(4), 2));     // beyond the last index
  e.Deliver(EchoReply("127.0.0.2", Id(-1), 2));    // wraps to index 65535
  e.Deliver(EchoReply("127.0.0.2", Id(1), 3));     // not sent yet
  e.Deliver(EchoReply("127.0.0.9", Id(1), 2));     // another sender
  e.Deliver(EchoReply("127.0.0.2", Id(1), 2), 1);  // no such socket
  EXPECT_EQ(e.foreign, 5u);
  e.Deliver(EchoReply("127.0.0.2", Id(1), 2, 8));  // an echo request
  EXPECT_EQ(e.foreign, 6u);
  e.Deliver(EchoReply("127.0.0.2", Id(1), 2).substr(0, 27));  // cut short
  std::string version6 = EchoReply("127.0.0.2", Id(1), 2);
  version6[0] = 0x65;
  e.Deliver(version6);
  EXPECT_EQ(e.malformed, 2u);
  e.Deliver(EchoReply("127.0.0.2", Id(1), 1));  // the first reply again
  EXPECT_EQ(t1.duplicate_count, 1u);
  EXPECT_TRUE(t1.awaiting_reply());
  EXPECT_EQ(t1.reply_count, 0u);

  // Options, an odd code, a wrong checksum and trailing data do not matter.
  std::string reply = EchoReply("127.0.0.2", Id(1), 2, 0, 40);
  reply[61] = 3;
  e.Deliver(reply + std::string(56, 'd'));
  EXPECT_FALSE(t1.awaiting_reply());
  EXPECT_EQ(t1.reply_count, 1u);
  EXPECT_EQ(e.targets[0]->reply_count + e.targets[2]->reply_count, 0u);
  EXPECT_EQ(e.foreign, 6u);
}

// An ICMPv6 socket brings the reply without IP header: the sender comes from the system.
TEST(ReceivePath, MatchesIcmpv6RepliesByTypeIdentifierAndSource) {
  OfflineEngine e;
  e.path.AddSocket(IpFamily::kV4, SocketKind::kRaw);
  e.path.AddSocket(IpFamily::kV6, SocketKind::kRaw);
  e.AddTarget("127.0.0.1");
  DelayTarget& t = *e.targets[e.AddTarget("::1")];
  t.StartSend();
  e.Deliver(IcmpReply(Id(1), 1, 129), 1, "::1");
  t.StartSend();
  e.Deliver(IcmpReply(Id(1), 2), 1, "::1");       // ICMP's echo reply type
  e.Deliver(IcmpReply(Id(1), 2, 129), 1, "::2");  // another sender
  e.Deliver(IcmpReply(Id(1), 2, 129), 1, "127.0.0.1");
  e.Deliver(IcmpReply(Id(0), 2, 129), 1, "::1");  // the IPv4 target's identifier
  EXPECT_EQ(e.foreign, 4u);
  EXPECT_TRUE(t.awaiting_reply());
  e.Deliver(IcmpReply(Id(1), 2, 129), 1, "::1");
  EXPECT_EQ(t.reply_count, 1u);
  EXPECT_EQ(e.targets[0]->reply_count, 0u);
}

// A datagram socket's reply names its target by the socket (one per listing of an
// address) and its sender; the identifier is the system's. The ICMPv6 socket handed over
// but unused goes, and the sockets behind it move up.
TEST(ReceivePath, MatchesDatagramRepliesBySocketSourceAndSequence) {
  OfflineEngine e;
  e.path.AddSocket(IpFamily::kV4, SocketKind::kDatagram);
  e.path.AddSocket(IpFamily::kV6, SocketKind::kDatagram);
  e.path.AddSocket(IpFamily::kV4, SocketKind::kDatagram);
  e.AddSender(0, e.AddTarget("127.0.0.1"));
  e.AddSender(0, e.AddTarget("127.0.0.2"));
  e.AddSender(2, e.AddTarget("127.0.0.1"));
  e.path.RemoveSocket(1);
  DelayTarget& again = *e.targets[2];
  again.StartSend();
  e.Deliver(IcmpReply(7, 1), 1, "127.0.0.1");
  again.StartSend();
  e.Deliver(IcmpReply(7, 2), 0, "127.0.0.1");  // the first listing's socket
  e.Deliver(IcmpReply(7, 2), 1, "127.0.0.2");  // nobody sent there on this one
  e.Deliver(IcmpReply(7, 2), 2, "127.0.0.1");  // no such socket now
  e.Deliver(IcmpReply(7, 2, 8), 1, "127.0.0.1");
  e.Deliver(EchoReply("127.0.0.1", 7, 2), 1, "127.0.0.1");  // an IPv4 header is no ICMP
  EXPECT_EQ(e.foreign, 5u);
  e.Deliver(IcmpReply(7, 2).substr(0, 7), 1, "127.0.0.1");
  EXPECT_EQ(e.malformed, 1u);
  EXPECT_TRUE(again.awaiting_reply());
  e.Deliver(IcmpReply(9, 2), 1, "127.0.0.1");
  EXPECT_FALSE(again.awaiting_reply());
  EXPECT_EQ(again.reply_count, 1u);
  EXPECT_EQ(e.targets[0]->reply_count + e.targets[0]->late_count, 0u);
}

}  // namespace
