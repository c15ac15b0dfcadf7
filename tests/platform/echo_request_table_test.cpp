// The echo service's request records: each answer reaches its own request, stale ones are
// dropped, stamps and sizes are bounded, and the engine reads the result as it reads a
// datagram socket.
#include "platform/echo_request_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/ip/address.hpp>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "engine/address_hash.h"
#include "tests/engine/offline_engine.h"

namespace {

using platform::EchoRequestTable;
using platform::IpFamily;

constexpr std::int64_t kMs = 1000000;

platform::AddressBytes Address(const char* text) {
  return AddressBytesOf(boost::asio::ip::make_address(text));
}

// An ICMP echo request written out byte by byte: type, code, checksum, id, sequence, data.
std::vector<unsigned char> RequestBytes(unsigned char type, std::uint16_t identifier,
                                        std::uint16_t sequence,
                                        const std::vector<unsigned char>& payload = {}) {
  std::vector<unsigned char> bytes(8 + payload.size());
  bytes[0] = type;
  bytes[2] = 0xab;  // a checksum nobody checks
  bytes[4] = static_cast<unsigned char>(identifier >> 8);
  bytes[5] = static_cast<unsigned char>(identifier);
  bytes[6] = static_cast<unsigned char>(sequence >> 8);
  bytes[7] = static_cast<unsigned char>(sequence);
  std::copy(payload.begin(), payload.end(), bytes.begin() + 8);
  return bytes;
}

EchoRequestTable::Ticket AddRequest(EchoRequestTable& table, std::uint16_t sequence,
                                    const char* target, std::int64_t sent_ns = 0) {
  const auto bytes = RequestBytes(8, 0x1234, sequence);
  const auto request = EchoRequestTable::ParseRequest(IpFamily::kV4, bytes.data(), bytes.size());
  return *table.Add(*request, Address(target), sent_ns);
}

// What Take handed out in slot i of a batch.
struct Batch {
  explicit Batch(std::size_t slot_size = 128) : slot_size(slot_size), slots(slot_size * 8) {}
  int Take(EchoRequestTable& table, std::int64_t read_ns, int count = 8) {
    return table.Take(slots.data(), slot_size, datagrams, count, read_ns);
  }
  const unsigned char* Slot(int i) const { return &slots[static_cast<std::size_t>(i) * slot_size]; }
  std::uint16_t Sequence(int i) const {
    return static_cast<std::uint16_t>(Slot(i)[6] << 8 | Slot(i)[7]);
  }

  std::size_t slot_size;                    // bytes per datagram
  std::vector<unsigned char> slots;         // the datagrams
  platform::ReceivedDatagram datagrams[8];  // what each slot holds
};

TEST(EchoRequestTable, ParsesOnlyTheFamilysEchoRequest) {
  const auto v4 = RequestBytes(8, 0x0102, 0x0304, {9, 9});
  const auto request = EchoRequestTable::ParseRequest(IpFamily::kV4, v4.data(), v4.size());
  ASSERT_TRUE(request);
  EXPECT_EQ(request->identifier, 0x0102);
  EXPECT_EQ(request->sequence, 0x0304);
  EXPECT_EQ(request->payload_length, 2u);
  EXPECT_FALSE(EchoRequestTable::ParseRequest(IpFamily::kV6, v4.data(), v4.size()));
  EXPECT_FALSE(EchoRequestTable::ParseRequest(IpFamily::kV4, v4.data(), 7));
  const auto reply = RequestBytes(0, 1, 1);
  EXPECT_FALSE(EchoRequestTable::ParseRequest(IpFamily::kV4, reply.data(), reply.size()));
}

// Answers come in any order; each one carries its own request's identifier and sequence,
// the sender and the echoed data, with a valid checksum.
TEST(EchoRequestTable, EachReplyAnswersItsOwnRequest) {
  EchoRequestTable table(IpFamily::kV4, 16);
  const auto first = AddRequest(table, 7, "127.0.0.2");
  const auto second = AddRequest(table, 8, "127.0.0.3");
  const unsigned char data[] = {1, 2, 3};
  EchoRequestTable::Reply reply;
  reply.source = Address("127.0.0.3");
  reply.data = data;
  reply.data_length = sizeof data;
  ASSERT_TRUE(table.Complete(second, &reply));
  reply.source = {};  // not told: the target's address stands in
  ASSERT_TRUE(table.Complete(first, &reply));
  EXPECT_EQ(table.pending(), 0u);

  Batch batch;
  ASSERT_EQ(batch.Take(table, 0), 2);
  EXPECT_EQ(batch.Sequence(0), 8);
  EXPECT_EQ(batch.Sequence(1), 7);
  EXPECT_EQ(batch.datagrams[0].source, Address("127.0.0.3"));
  EXPECT_EQ(batch.datagrams[1].source, Address("127.0.0.2"));
  ASSERT_EQ(batch.datagrams[0].length, 11u);
  const unsigned char* message = batch.Slot(0);
  EXPECT_EQ(message[0], 0);  // echo reply
  EXPECT_EQ(message[4] << 8 | message[5], 0x1234);
  EXPECT_EQ(message[10], 3);
  // The sum of all 16-bit words, checksum included, is all ones (odd tail padded with 0).
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < 11; i += 2) {
    sum += static_cast<std::uint32_t>(message[i] << 8 | (i + 1 < 11 ? message[i + 1] : 0));
  }
  EXPECT_EQ((sum & 0xffff) + (sum >> 16), 0xffffu);
  EXPECT_EQ(batch.Take(table, 0), 0);
}

// A completion for a request already answered, cancelled or never made changes nothing,
// even when its slot has been reused since.
TEST(EchoRequestTable, StaleAndUnknownCompletionsAreDropped) {
  EchoRequestTable table(IpFamily::kV4, 1);
  const auto cancelled = AddRequest(table, 1, "127.0.0.2");
  table.Cancel(cancelled);
  const auto reused = AddRequest(table, 2, "127.0.0.2");
  EchoRequestTable::Reply reply;
  EXPECT_FALSE(table.Complete(cancelled, &reply));
  EXPECT_FALSE(table.Complete(reused + 1, &reply));
  EXPECT_EQ(table.pending(), 1u);
  EXPECT_TRUE(table.Complete(reused, nullptr));  // timed out: nothing to read
  EXPECT_FALSE(table.Complete(reused, &reply));
  Batch batch;
  EXPECT_EQ(batch.Take(table, 0), 0);
}

// A full table refuses a request until a reply has been read.
TEST(EchoRequestTable, FullTableRefusesUntilARecordIsFree) {
  EchoRequestTable table(IpFamily::kV4, 2);
  const auto first = AddRequest(table, 1, "127.0.0.2");
  AddRequest(table, 2, "127.0.0.2");
  const auto bytes = RequestBytes(8, 1, 3);
  const auto request = EchoRequestTable::ParseRequest(IpFamily::kV4, bytes.data(), bytes.size());
  EXPECT_FALSE(table.Add(*request, Address("127.0.0.2"), 0));
  EchoRequestTable::Reply reply;
  ASSERT_TRUE(table.Complete(first, &reply));
  EXPECT_FALSE(table.Add(*request, Address("127.0.0.2"), 0));  // answered, not yet read
  Batch batch;
  ASSERT_EQ(batch.Take(table, 0), 1);
  EXPECT_TRUE(table.Add(*request, Address("127.0.0.2"), 0));
}

// The stamp is the read time, kept within the millisecond the round trip names; the
// message is cut to its slot and its data to what is kept.
TEST(EchoRequestTable, StampAndSizeAreBounded) {
  EchoRequestTable table(IpFamily::kV6, 8);
  const std::int64_t sent = 1000 * kMs;
  const auto bytes = RequestBytes(128, 5, 6);
  const auto request = EchoRequestTable::ParseRequest(IpFamily::kV6, bytes.data(), bytes.size());
  std::vector<EchoRequestTable::Ticket> tickets;
  for (int i = 0; i < 3; ++i) {
    tickets.push_back(*table.Add(*request, Address("::1"), sent));
  }
  const std::vector<unsigned char> data(500, 0x5a);
  EchoRequestTable::Reply reply;
  reply.round_trip_ms = 3;  // arrived between 1003 and 1004 ms
  reply.data = data.data();
  reply.data_length = data.size();
  for (const auto ticket : tickets) {
    ASSERT_TRUE(table.Complete(ticket, &reply));
  }
  Batch late;  // read 4 ms after the arrival
  ASSERT_EQ(late.Take(table, 1008 * kMs, 1), 1);
  EXPECT_EQ(*late.datagrams[0].wall_stamp_ns, 1004 * kMs - 1);
  EXPECT_EQ(late.Slot(0)[0], 129);  // ICMPv6 echo reply
  EXPECT_EQ(late.datagrams[0].length, 8 + EchoRequestTable::kKeptData);
  Batch early(16);  // the clock stepped back meanwhile
  ASSERT_EQ(early.Take(table, 900 * kMs), 2);
  EXPECT_EQ(*early.datagrams[0].wall_stamp_ns, 1003 * kMs);
  EXPECT_EQ(early.datagrams[0].length, 16u);
}

// Through the engine's receive path, as a datagram socket: the synthesized reply is
// accounted to the target it answers, with its delay from the round trip.
TEST(EchoRequestTable, EngineAccountsSynthesizedReplies) {
  OfflineEngine engine;
  const std::size_t channel = engine.path.AddSocket(IpFamily::kV4, platform::SocketKind::kDatagram);
  engine.AddTarget("127.0.0.2");
  engine.AddTarget("127.0.0.3");
  engine.AddSender(channel, 0);
  engine.AddSender(channel, 1);
  engine.SendRound();
  engine.SendRound();  // both targets now await sequence 2 (the first is never accounted)

  EchoRequestTable table(IpFamily::kV4, 4);
  const auto ticket = AddRequest(table, 2, "127.0.0.3", ClockPair::Now().wall_ns);
  std::this_thread::sleep_for(std::chrono::milliseconds(40));  // read well after the reply
  EchoRequestTable::Reply reply;
  reply.round_trip_ms = 20;
  ASSERT_TRUE(table.Complete(ticket, &reply));
  const ClockPair clocks = ClockPair::Now();
  Batch batch;
  ASSERT_EQ(batch.Take(table, clocks.wall_ns), 1);
  engine.path.HandleDatagram(channel, batch.Slot(0), batch.datagrams[0].length,
                             batch.datagrams[0].source, batch.datagrams[0].wall_stamp_ns, clocks);
  EXPECT_EQ(engine.targets[0]->reply_count, 0u);
  EXPECT_EQ(engine.targets[1]->reply_count, 1u);
  EXPECT_EQ(engine.foreign, 0u);
  // The round trip's millisecond, not the read 40 ms on.
  EXPECT_GE(engine.targets[1]->last_delay_ms, 20u);
  EXPECT_LE(engine.targets[1]->last_delay_ms, 22u);
}

}  // namespace
