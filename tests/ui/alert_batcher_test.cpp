// Hand-worked bursts, flaps and pauses, in UTC (set the POSIX way, no zone files needed).
#include "ui/alert_batcher.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace {

constexpr auto kUp = HostState::kUp;
constexpr auto kLossy = HostState::kLossy;
constexpr auto kDown = HostState::kDown;
// 2023-11-14 23:00:00 UTC.
constexpr std::int64_t kAt = 1700002800000;

class AlertBatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC0", 1);
    tzset();
  }
  void TearDown() override {
    unsetenv("TZ");
    tzset();
  }

  // The body Take gives at now_ms, or "none".
  std::string Body(std::int64_t now_ms) {
    const auto alert = batcher_.Take(now_ms);
    if (alert) {
      EXPECT_EQ(alert->title, "Lumoret");
    }
    return alert ? alert->body : "none";
  }
  // The body once the changes have settled: a look finds them new, the next one tells.
  std::string Settled(std::int64_t now_ms) {
    EXPECT_FALSE(batcher_.Take(now_ms)) << "told while the changes still came in";
    return Body(now_ms + 1000);
  }

  AlertBatcher batcher_;
};

TEST_F(AlertBatcherTest, ManyChangesAreOneListAndOneNamesItsTime) {
  // The burst itself and the pause are checked against the real service too.
  // A burst found over two looks, as hosts' timeouts run out across a second.
  for (const char* host : {"a", "b"}) {
    batcher_.Add(host, HostState::kNotYet, kDown, kAt);
  }
  EXPECT_EQ(Body(0), "none");
  for (const char* host : {"c", "d"}) {
    batcher_.Add(host, HostState::kNotYet, kDown, kAt);
  }
  for (const char* host : {"x", "y", "z"}) {
    batcher_.Add(host, kDown, kLossy, kAt);
  }
  EXPECT_EQ(Settled(1000), "4 台主机中断：a, b, c …\n3 台主机恢复：x, y, z");

  setenv("TZ", "CST-8", 1);
  tzset();
  batcher_.Add("10.0.0.1", kUp, kDown, kAt + 7999);
  EXPECT_EQ(Settled(10000), "10.0.0.1：中断，自 07:00:07 起");
  // A stray byte of a name in config.ini must not reach the desktop's bus.
  batcher_.Add("h\xff", kDown, kUp, kAt + 60000);
  EXPECT_EQ(Settled(20000), "h\xef\xbf\xbd：正常，自 07:01:00 起");
}

TEST_F(AlertBatcherTest, NotificationsAreFiveSecondsApartAndToldByNetResult) {
  batcher_.Add("a", kUp, kDown, kAt);
  EXPECT_NE(Settled(100000), "none");
  batcher_.Given(101500);
  // Within the pause: a flaps and ends down again (where it was told), b goes down.
  batcher_.Add("a", kDown, kUp, kAt + 1000);
  batcher_.Add("b", kUp, kDown, kAt + 1000);
  batcher_.Add("a", kUp, kDown, kAt + 2000);
  EXPECT_EQ(Body(102000), "none");
  batcher_.Add("b", kDown, kUp, kAt + 3000);
  batcher_.Add("b", kUp, kDown, kAt + 4000);
  EXPECT_EQ(Body(103000), "none");
  EXPECT_EQ(Body(106499), "none") << "sooner than 5 s after the last reached the desktop";
  EXPECT_EQ(Body(106500), "b：中断，自 23:00:04 起");
  // Both back and down again by the next look: nothing to tell, and nothing left over.
  batcher_.Add("b", kDown, kUp, kAt + 5000);
  batcher_.Add("b", kUp, kDown, kAt + 6000);
  EXPECT_EQ(Body(200000), "none");
  batcher_.Add("a", kDown, kLossy, kAt + 7000);
  EXPECT_EQ(Settled(200000), "a：丢包，自 23:00:07 起");
  // Hosts that keep going down one look after another are told after the longest hold.
  for (int i = 0; i < 4; ++i) {
    batcher_.Add("t" + std::to_string(i), kUp, kDown, kAt + 300000 + i * 1000);
    EXPECT_EQ(Body(300000 + i * 1000), i < 3 ? "none" : "4 台主机中断：t0, t1, t2 …");
  }
}

}  // namespace
