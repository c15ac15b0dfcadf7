#include "engine/delay_target.h"

#include <gtest/gtest.h>

#include <chrono>

#include "engine/name_resolver.h"

namespace {

using std::chrono::microseconds;
using std::chrono::seconds;

// A target on an unopened socket: sends fail quietly, and the test drives the
// handlers itself instead of running the I/O service.
class DelayTargetTest : public ::testing::Test {
 protected:
  DelayTarget& Make(const std::string& host) {
    target_ = std::make_unique<DelayTarget>(schedule_, socket_, host, 0,
                                            NameResolver::ResolveFirst(host), send_errors_);
    return *target_;
  }
  // Sends a request and answers it after the given time.
  static void Answer(DelayTarget& t, microseconds after) {
    t.StartSend();
    ASSERT_TRUE(t.HandleReply(t.sequence_number(), t.time_sent() + after));
  }
  static void TimeOut(DelayTarget& t) {
    t.StartSend();
    t.HandleTimeout();
  }

  int socket_ = -1;  // no socket at all
  ProbeSchedule schedule_;
  std::atomic<std::uint32_t> send_errors_{0};
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
  // Nothing was sent, so no reply can be ours.
  EXPECT_FALSE(t.HandleReply(0, DelayTarget::Clock::now()));
  EXPECT_EQ(t.sequence_number(), 0);
  EXPECT_EQ(t.reply_count + t.duplicate_count + t.late_count, 0u);
  EXPECT_EQ(t.last_delay_ms, kNone);
  EXPECT_FALSE(Make("   ").resolved);
}

TEST_F(DelayTargetTest, FirstReplyIsNotAccountedLaterOnesAre) {
  DelayTarget& t = Make("127.0.0.1");
  Answer(t, microseconds(40000));
  EXPECT_EQ(t.sequence_number(), 1);
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
  EXPECT_EQ(send_errors_, 4u) << "the unopened socket refuses every request";
}

TEST_F(DelayTargetTest, TimeoutClearsCurrentDelayAndSendsAtOnce) {
  DelayTarget& t = Make("127.0.0.1");
  Answer(t, microseconds(1000));
  Answer(t, microseconds(7000));
  const auto timed_out = t.time_sent() + DelayTarget::Clock::duration(1);
  TimeOut(t);
  EXPECT_EQ(t.timeout_count, 1u);
  // Down since the request that went unanswered; the history holds what was accounted.
  EXPECT_EQ(t.state, DelayTarget::State::kDown);
  EXPECT_GE(t.state_since_ns, timed_out.time_since_epoch().count());
  const auto probes = t.history.Snapshot();
  ASSERT_EQ(probes.size(), 2u);
  EXPECT_EQ(probes[0].delay_ms, 7u);
  EXPECT_FALSE(probes[1].delay_ms);
  EXPECT_EQ(t.last_delay_ms, kNone);
  EXPECT_EQ(t.max_delay_ms, 7u);
  EXPECT_EQ(t.min_delay_ms, 7u);
  EXPECT_EQ(t.reply_count, 1u);
  // The next request left without a pause, and waits 5 s.
  EXPECT_EQ(t.sequence_number(), 4);
  EXPECT_TRUE(t.awaiting_reply());
  EXPECT_EQ(schedule_.Earliest(), t.time_sent() + seconds(5));
}

TEST_F(DelayTargetTest, DuplicatesAndLateRepliesAreCountedApart) {
  DelayTarget& t = Make("127.0.0.1");
  Answer(t, microseconds(1000));
  Answer(t, microseconds(5000));
  const auto arrival = t.time_sent() + microseconds(5000);
  EXPECT_EQ(schedule_.Earliest(), arrival + seconds(1)) << "the pause counts from the arrival";

  // A second copy changes no statistic and leaves the pause alone.
  EXPECT_TRUE(t.HandleReply(2, t.time_sent() + microseconds(9000)));
  EXPECT_EQ(t.duplicate_count, 1u);
  EXPECT_EQ(t.reply_count, 1u);
  EXPECT_EQ(t.total_delay_ms, 5u);
  EXPECT_EQ(schedule_.Earliest(), arrival + seconds(1));

  // A reply to a request that timed out is late; a further copy of it a duplicate.
  TimeOut(t);  // request 3 timed out, request 4 waits
  EXPECT_TRUE(t.HandleReply(3, t.time_sent()));
  EXPECT_TRUE(t.HandleReply(3, t.time_sent()));
  EXPECT_EQ(t.late_count, 1u);
  EXPECT_EQ(t.duplicate_count, 2u);
  EXPECT_TRUE(t.awaiting_reply()) << "request 4 still waits";
  EXPECT_EQ(t.timeout_count, 1u);
  EXPECT_EQ(t.reply_count, 1u);
  // A number this target has not sent yet is someone else's.
  EXPECT_FALSE(t.HandleReply(5, t.time_sent()));
  EXPECT_FALSE(t.HandleReply(40000, t.time_sent()));
}

// However soon it is read, a reply that arrived after the wait is a timeout and late.
TEST_F(DelayTargetTest, ReplyArrivingPastTheWaitIsATimeoutAndLate) {
  DelayTarget& t = Make("127.0.0.1");
  Answer(t, microseconds(1000));
  Answer(t, seconds(5));  // just in time
  EXPECT_EQ(t.last_delay_ms, 5000u);

  t.StartSend();
  const auto sent = t.time_sent();
  EXPECT_TRUE(t.HandleReply(3, sent + microseconds(5002000)));
  EXPECT_EQ(t.reply_count, 1u);
  EXPECT_EQ(t.timeout_count, 1u);
  EXPECT_EQ(t.late_count, 1u);
  EXPECT_EQ(t.last_delay_ms, kNone);
  EXPECT_EQ(t.state, DelayTarget::State::kDown);
  EXPECT_FALSE(t.history.Snapshot().back().delay_ms);
  // The next request left at once; a further copy of the late reply is a duplicate.
  EXPECT_EQ(t.sequence_number(), 4);
  EXPECT_TRUE(t.awaiting_reply());
  EXPECT_TRUE(t.HandleReply(3, sent + seconds(6)));
  EXPECT_EQ(t.duplicate_count, 1u);
}

TEST_F(DelayTargetTest, ReplyDatedBeforeItsRequestCountsAsNoDelay) {
  // The wall clock was set back between the send and the kernel's stamp.
  DelayTarget& t = Make("127.0.0.1");
  Answer(t, microseconds(1000));
  t.StartSend();
  EXPECT_TRUE(t.HandleReply(2, t.time_sent() - microseconds(3000)));
  EXPECT_EQ(t.last_delay_ms, 0u);
  EXPECT_EQ(t.max_delay_ms, 0u);
  EXPECT_EQ(schedule_.Earliest(), t.time_sent() + seconds(1));
}

TEST_F(DelayTargetTest, SequenceWrapSkipsAccountingOfZeroAndOne) {
  DelayTarget& t = Make("127.0.0.1");
  while (t.sequence_number() != 65534) {
    TimeOut(t);
  }
  const std::uint32_t timeouts = t.timeout_count;
  Answer(t, microseconds(3000));  // 65535
  EXPECT_EQ(t.reply_count, 1u);
  Answer(t, microseconds(3000));  // 0
  EXPECT_EQ(t.sequence_number(), 0);
  Answer(t, microseconds(3000));  // 1
  EXPECT_EQ(t.reply_count, 1u);
  Answer(t, microseconds(3000));  // 2
  EXPECT_EQ(t.reply_count, 2u);
  EXPECT_EQ(t.timeout_count, timeouts);
}

TEST(Identifier, MapsIndexAndBackAcrossTheWrap) {
  EXPECT_EQ(IdentifierForIndex(65535, 1), 0);
  EXPECT_EQ(IndexForIdentifier(0, 65535), 1u);
  EXPECT_EQ(IdentifierForIndex(70000, 2), 4466);
  EXPECT_EQ(IndexForIdentifier(4466, 70000), 2u);
  EXPECT_EQ(IndexForIdentifier(static_cast<std::uint16_t>(1233), 1234), 65535u);
}

}  // namespace
