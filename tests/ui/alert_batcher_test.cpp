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

  AlertBatcher batcher_;
};

TEST_F(AlertBatcherTest, ManyChangesAreOneListAndOneNamesItsTime) {
  // The burst itself and the pause are checked against the real service too.
  for (const char* host : {"a", "b", "c", "d"}) {
    batcher_.Add(host, HostState::kNotYet, kDown, kAt);
  }
  for (const char* host : {"x", "y", "z"}) {
    batcher_.Add(host, kDown, kLossy, kAt);
  }
  EXPECT_EQ(Body(0), "4 台主机中断：a, b, c …\n3 台主机恢复：x, y, z");

  setenv("TZ", "CST-8", 1);
  tzset();
  batcher_.Add("10.0.0.1", kUp, kDown, kAt + 7999);
  EXPECT_EQ(Body(10000), "10.0.0.1：中断，自 07:00:07 起");
  // A stray byte of a name in config.ini must not reach the desktop's bus.
  batcher_.Add("h\xff", kDown, kUp, kAt + 60000);
  EXPECT_EQ(Body(20000), "h\xef\xbf\xbd：正常，自 07:01:00 起");
}

TEST_F(AlertBatcherTest, NotificationsAreFiveSecondsApartAndToldByNetResult) {
  batcher_.Add("a", kUp, kDown, kAt);
  EXPECT_NE(Body(100000), "none");
  // Within the pause: a flaps and ends down again (where it was told), b goes down.
  batcher_.Add("a", kDown, kUp, kAt + 1000);
  batcher_.Add("b", kUp, kDown, kAt + 1000);
  batcher_.Add("a", kUp, kDown, kAt + 2000);
  EXPECT_EQ(Body(104999), "none") << "sooner than 5 s after the last";
  batcher_.Add("b", kDown, kUp, kAt + 3000);
  batcher_.Add("b", kUp, kDown, kAt + 4000);
  EXPECT_EQ(Body(105000), "b：中断，自 23:00:04 起");
  // Both back and down again by the next look: nothing to tell, and nothing left over.
  batcher_.Add("b", kDown, kUp, kAt + 5000);
  batcher_.Add("b", kUp, kDown, kAt + 6000);
  EXPECT_EQ(Body(200000), "none");
  batcher_.Add("a", kDown, kLossy, kAt + 7000);
  EXPECT_EQ(Body(200000), "a：丢包，自 23:00:07 起");
}

}  // namespace
