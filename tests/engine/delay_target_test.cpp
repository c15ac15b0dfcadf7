#include "engine/delay_target.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

#include "engine/name_resolver.h"

namespace {

using std::chrono::microseconds;
using std::chrono::seconds;

// A target on an unopened socket: sends fail quietly, and the test drives the
// handlers itself instead of running the I/O service.
class DelayTargetTest : public ::testing::Test {
 protected:
  DelayTarget& Make(const std::string& host) {
    target_ = std::make_shared<DelayTarget>(schedule_, -1, host, 0,
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

  ProbeSchedule schedule_;                     // the target's waits and pauses
  std::atomic<std::uint32_t> send_errors_{0};  // every send, as there is no socket
  std::shared_ptr<DelayTarget> target_;        // the target Make made last
};

// The counters and delays in one line, "-" for no value.
std::string Figures(const DelayTarget& t) {
  const auto ms = [](std::uint32_t v) {
    return v == DelayTarget::kNone ? std::string("-") : std::to_string(v);
  };
  std::ostringstream s;
  s << "replies " << t.reply_count << " timeouts " << t.timeout_count << " late " << t.late_count
    << " dup " << t.duplicate_count << " total " << t.total_delay_ms << " last "
    << ms(t.last_delay_ms) << " min " << ms(t.min_delay_ms) << " max " << ms(t.max_delay_ms);
  return s.str();
}

TEST_F(DelayTargetTest, ResolvesLiteralsWithLoopbackOnlyAndNeverMatchesWhenUnresolved) {
  // The suite runs in a namespace whose only interface is loopback: the case where
  // an address-configured lookup would refuse even 127.0.0.1.
  EXPECT_EQ(Make("127.0.0.1").destination.address().to_string(), "127.0.0.1");
  EXPECT_TRUE(target_->resolved);
  EXPECT_FALSE(Make("   ").resolved);
  DelayTarget& t = Make("no-such-host.invalid");
  EXPECT_FALSE(t.resolved);
  // Nothing was sent, so no reply can be ours.
  EXPECT_FALSE(t.HandleReply(0, DelayTarget::Clock::now()));
  EXPECT_EQ(Figures(t), "replies 0 timeouts 0 late 0 dup 0 total 0 last - min - max -");
}

TEST_F(DelayTargetTest, FirstReplyIsNotAccountedLaterOnesAre) {
  DelayTarget& t = Make("127.0.0.1");
  Answer(t, microseconds(40000));
  EXPECT_EQ(Figures(t), "replies 0 timeouts 0 late 0 dup 0 total 0 last - min - max -");
  Answer(t, microseconds(23456));
  Answer(t, microseconds(999));  // truncated to 0 ms
  Answer(t, microseconds(10500));
  // Dated before its request (the wall clock was set back between the send and the
  // kernel's stamp): no delay, and the pause counts from the send.
  Answer(t, microseconds(-3000));
  EXPECT_EQ(Figures(t), "replies 4 timeouts 0 late 0 dup 0 total 33 last 0 min 0 max 23");
  EXPECT_EQ(schedule_.Earliest(), t.time_sent() + seconds(1));
  EXPECT_EQ(send_errors_, 5u) << "the unopened socket refuses every request";
}

TEST_F(DelayTargetTest, TimeoutsDuplicatesAndLateRepliesAreCountedApart) {
  DelayTarget& t = Make("127.0.0.1");
  Answer(t, microseconds(1000));
  Answer(t, microseconds(5000));
  const auto arrival = t.time_sent() + microseconds(5000);
  EXPECT_EQ(schedule_.Earliest(), arrival + seconds(1)) << "the pause counts from the arrival";
  // A second copy changes no statistic and leaves the pause alone.
  EXPECT_TRUE(t.HandleReply(2, t.time_sent() + microseconds(9000)));
  EXPECT_EQ(schedule_.Earliest(), arrival + seconds(1));
  const auto timed_out = t.time_sent() + DelayTarget::Clock::duration(1);
  TimeOut(t);  // request 3 timed out, request 4 waits
  EXPECT_EQ(Figures(t), "replies 1 timeouts 1 late 0 dup 1 total 5 last - min 5 max 5");
  // Down since the request that went unanswered; the history holds what was accounted.
  EXPECT_EQ(t.state, DelayTarget::State::kDown);
  EXPECT_GE(t.state_since_ns, timed_out.time_since_epoch().count());
  const auto probes = t.history.Snapshot();
  ASSERT_EQ(probes.size(), 2u);
  EXPECT_EQ(probes[0].delay_ms, 5u);
  EXPECT_FALSE(probes[1].delay_ms);
  // The next request left without a pause, and waits 5 s.
  EXPECT_EQ(t.sequence_number(), 4);
  EXPECT_EQ(schedule_.Earliest(), t.time_sent() + seconds(5));
  // A reply to a request that timed out is late; a further copy of it a duplicate.
  EXPECT_TRUE(t.HandleReply(3, t.time_sent()));
  EXPECT_TRUE(t.HandleReply(3, t.time_sent()));
  EXPECT_EQ(Figures(t), "replies 1 timeouts 1 late 1 dup 2 total 5 last - min 5 max 5");
  EXPECT_TRUE(t.awaiting_reply()) << "request 4 still waits";
  // A number this target has not sent yet is someone else's.
  EXPECT_FALSE(t.HandleReply(5, t.time_sent()));
  EXPECT_FALSE(t.HandleReply(40000, t.time_sent()));
}

// However soon it is read, a reply that arrived after the wait is a timeout and late.
TEST_F(DelayTargetTest, ReplyArrivingPastTheWaitIsATimeoutAndLate) {
  DelayTarget& t = Make("127.0.0.1");
  Answer(t, microseconds(1000));
  Answer(t, seconds(5));  // just in time
  t.StartSend();
  const auto sent = t.time_sent();
  EXPECT_TRUE(t.HandleReply(3, sent + microseconds(5002000)));
  EXPECT_EQ(Figures(t), "replies 1 timeouts 1 late 1 dup 0 total 5000 last - min 5000 max 5000");
  // It went the timeout's way (TimeoutsDuplicatesAndLateRepliesAreCountedApart checks where that
  // leads): the next request left at once; a further copy of the late reply is a duplicate.
  EXPECT_TRUE(t.awaiting_reply());
  EXPECT_TRUE(t.HandleReply(3, sent + seconds(6)));
  EXPECT_EQ(t.duplicate_count, 1u);
}

TEST_F(DelayTargetTest, SequenceWrapSkipsAccountingOfZeroAndOne) {
  DelayTarget& t = Make("127.0.0.1");
  while (t.sequence_number() != 65534) {
    TimeOut(t);
  }
  for (int reply = 0; reply < 4; ++reply) {  // 65535, 0, 1 and 2
    Answer(t, microseconds(3000));
  }
  EXPECT_EQ(t.sequence_number(), 2);
  EXPECT_EQ(t.reply_count, 2u) << "only 65535 and 2 count";
  EXPECT_EQ(t.timeout_count, 32767u) << "a timeout sends the next one: two numbers each";
}

TEST(Identifier, MapsIndexAndBackAcrossTheWrap) {
  EXPECT_EQ(IdentifierForIndex(65535, 1), 0);
  EXPECT_EQ(IndexForIdentifier(0, 65535), 1u);
  EXPECT_EQ(IdentifierForIndex(70000, 2), 4466);
  EXPECT_EQ(IndexForIdentifier(4466, 70000), 2u);
  EXPECT_EQ(IndexForIdentifier(static_cast<std::uint16_t>(1233), 1234), 65535u);
}

}  // namespace
