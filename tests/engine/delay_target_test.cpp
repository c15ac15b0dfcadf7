#include "engine/delay_target.h"

#include <gtest/gtest.h>

#include <boost/asio/io_service.hpp>
#include <chrono>

#include "engine/name_resolver.h"

namespace {

using std::chrono::microseconds;

// A target on an unopened socket: sends fail quietly, and the test drives the
// handlers itself instead of running the I/O service.
class DelayTargetTest : public ::testing::Test {
 protected:
  DelayTarget& Make(const std::string& host) {
    target_ =
        std::make_unique<DelayTarget>(io_, socket_, host, 0, NameResolver::ResolveFirst(host));
    return *target_;
  }
  // Sends a request and answers it after the given time.
  static void Answer(DelayTarget& t, microseconds after) {
    t.StartSend();
    t.HandleReply(t.time_sent + after);
    t.HandleTimeout(boost::asio::error::operation_aborted);  // the cancelled wait
  }
  static void TimeOut(DelayTarget& t) {
    t.StartSend();
    t.HandleTimeout(boost::system::error_code());
  }

  boost::asio::io_service io_;
  boost::asio::ip::icmp::socket socket_{io_};
  std::unique_ptr<DelayTarget> target_;
};

constexpr std::uint32_t kNone = DelayTarget::kNone;

TEST_F(DelayTargetTest, ResolvesAddressLiteralWithLoopbackOnly) {
  // The suite runs in a namespace whose only interface is loopback: the case where
  // an address-configured lookup would refuse even 127.0.0.1.
  DelayTarget& t = Make("127.0.0.1");
  EXPECT_TRUE(t.resolved);
  EXPECT_EQ(t.destination.address().to_string(), "127.0.0.1");
}

TEST_F(DelayTargetTest, UnresolvableHostKeepsInitialValues) {
  DelayTarget& t = Make("no-such-host.invalid");
  EXPECT_FALSE(t.resolved);
  EXPECT_EQ(t.destination.address().to_string(), "0.0.0.0");
  t.HandleReply(DelayTarget::Clock::now());  // nothing was sent: nothing moves
  EXPECT_EQ(t.sequence_number, 0);
  EXPECT_EQ(t.reply_count, 0u);
  EXPECT_EQ(t.last_delay_ms, kNone);
  EXPECT_FALSE(Make("   ").resolved);
}

TEST_F(DelayTargetTest, FirstReplyIsNotAccountedLaterOnesAre) {
  DelayTarget& t = Make("127.0.0.1");
  Answer(t, microseconds(40000));
  EXPECT_EQ(t.sequence_number, 1);
  EXPECT_EQ(t.reply_count, 0u);
  EXPECT_EQ(t.max_delay_ms, kNone);

  Answer(t, microseconds(23456));
  EXPECT_EQ(t.total_delay_ms, 23u);
  EXPECT_EQ(t.reply_count, 1u);
  EXPECT_EQ(t.last_delay_ms, 23u);
  EXPECT_EQ(t.max_delay_ms, 23u);
  EXPECT_EQ(t.min_delay_ms, 23u);

  Answer(t, microseconds(999));  // truncated to 0 ms
  Answer(t, microseconds(10500));
  EXPECT_EQ(t.total_delay_ms, 33u);
  EXPECT_EQ(t.reply_count, 3u);
  EXPECT_EQ(t.last_delay_ms, 10u);
  EXPECT_EQ(t.max_delay_ms, 23u);
  EXPECT_EQ(t.min_delay_ms, 0u);
  EXPECT_EQ(t.timeout_count, 0u);
}

TEST_F(DelayTargetTest, TimeoutClearsCurrentDelayAndSendsAtOnce) {
  DelayTarget& t = Make("127.0.0.1");
  Answer(t, microseconds(1000));
  Answer(t, microseconds(7000));
  t.StartSend();
  t.HandleTimeout(boost::system::error_code());
  EXPECT_EQ(t.timeout_count, 1u);
  EXPECT_EQ(t.last_delay_ms, kNone);
  EXPECT_EQ(t.max_delay_ms, 7u);
  EXPECT_EQ(t.min_delay_ms, 7u);
  EXPECT_EQ(t.reply_count, 1u);
  // The next request left without a pause.
  EXPECT_EQ(t.sequence_number, 4);
  EXPECT_TRUE(t.request_open);
}

TEST_F(DelayTargetTest, EachRequestIsAccountedOnce) {
  DelayTarget& t = Make("127.0.0.1");
  Answer(t, microseconds(1000));

  // A duplicate of an accounted reply changes nothing.
  Answer(t, microseconds(5000));
  t.HandleReply(t.time_sent + microseconds(9000));
  EXPECT_EQ(t.reply_count, 1u);
  EXPECT_EQ(t.total_delay_ms, 5u);

  // A reply handled after the wait expired but before its completion ran counts as
  // the reply; the completion then pauses instead of counting a timeout.
  t.StartSend();
  const std::uint16_t sent = t.sequence_number;
  t.HandleReply(t.time_sent + microseconds(5000000));
  t.HandleTimeout(boost::system::error_code());
  EXPECT_EQ(t.reply_count, 2u);
  EXPECT_EQ(t.timeout_count, 0u);
  EXPECT_EQ(t.last_delay_ms, 5000u);
  EXPECT_EQ(t.sequence_number, sent) << "no request before the pause ends";
  EXPECT_EQ(t.reply_timer.expiry(), t.time_sent + std::chrono::seconds(6))
      << "the pause counts from the reply's arrival";

  // Every expired wait counts once and sends the next request at once.
  TimeOut(t);
  t.HandleTimeout(boost::system::error_code());  // the next request times out too
  EXPECT_EQ(t.timeout_count, 2u);
  EXPECT_EQ(t.reply_count + t.timeout_count + 2u, t.sequence_number)
      << "first reply unaccounted, one request outstanding";
}

TEST_F(DelayTargetTest, SequenceWrapSkipsAccountingOfZeroAndOne) {
  DelayTarget& t = Make("127.0.0.1");
  t.sequence_number = 65534;
  Answer(t, microseconds(3000));  // 65535
  EXPECT_EQ(t.reply_count, 1u);
  Answer(t, microseconds(3000));  // 0
  EXPECT_EQ(t.sequence_number, 0);
  Answer(t, microseconds(3000));  // 1
  EXPECT_EQ(t.reply_count, 1u);
  Answer(t, microseconds(3000));  // 2
  EXPECT_EQ(t.reply_count, 2u);
}

TEST(Identifier, MapsIndexAndBackAcrossTheWrap) {
  EXPECT_EQ(IdentifierForIndex(65535, 1), 0);
  EXPECT_EQ(IndexForIdentifier(0, 65535), 1u);
  EXPECT_EQ(IdentifierForIndex(70000, 2), 4466);
  EXPECT_EQ(IndexForIdentifier(4466, 70000), 2u);
  EXPECT_EQ(IndexForIdentifier(static_cast<std::uint16_t>(1233), 1234), 65535u);
  for (unsigned long pid : {1ul, 4242ul, 65535ul, 65536ul, 4194303ul}) {
    for (int index : {0, 1, 999, 65535}) {
      EXPECT_EQ(IndexForIdentifier(IdentifierForIndex(pid, index), pid),
                static_cast<std::size_t>(index));
    }
  }
}

}  // namespace
