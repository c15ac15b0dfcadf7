// AlertNotifier against a real notification service. alert_notifier_test.sh runs it on a
// session bus of its own, the WithService tests while notification-daemon serves it, the
// WithoutService ones after it has gone; dbus-monitor writes every Notify call to the
// file in $ALERT_MONITOR_LOG.
#include "ui/alert_notifier.h"

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/init.h>
#include <wx/utils.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Any time: the notifier paces itself on its own clock.
constexpr std::int64_t kAt = 1700002800000;

std::string MonitorLog() {
  std::stringstream text;
  text << std::ifstream(std::getenv("ALERT_MONITOR_LOG")).rdbuf();
  return text.str();
}

int Notifies() {
  const std::string log = MonitorLog();
  const std::regex notify("member=Notify\n");
  return static_cast<int>(
      std::distance(std::sregex_iterator(log.begin(), log.end(), notify), std::sregex_iterator()));
}

// Ticks the notifier and turns the event loop every 50 ms for as long as given.
void TickFor(AlertNotifier& notifier, Clock::duration how_long) {
  for (const auto end = Clock::now() + how_long; Clock::now() < end;) {
    notifier.Tick();
    wxTheApp->Yield(true);
    std::this_thread::sleep_for(milliseconds(50));
  }
}

// Ticks until the monitor has seen count Notify calls; false after timeout.
bool TickUntil(AlertNotifier& notifier, int count, milliseconds timeout) {
  for (const auto end = Clock::now() + timeout; Notifies() < count && Clock::now() < end;) {
    TickFor(notifier, milliseconds(50));
  }
  return Notifies() >= count;
}

TEST(WithService, ABurstIsOneNotificationAndTheNextWaitsItsTurn) {
  AlertNotifier notifier;
  notifier.SetSound(true);
  // Turned off, nothing goes out, nor what was pending once it is on again.
  notifier.Add("10.9.9.9", HostState::kUp, HostState::kDown, kAt);
  notifier.SetEnabled(false);
  notifier.Add("10.9.9.8", HostState::kUp, HostState::kDown, kAt);
  TickFor(notifier, milliseconds(300));
  notifier.SetEnabled(true);
  TickFor(notifier, milliseconds(300));
  ASSERT_EQ(Notifies(), 0);

  for (int i = 1; i <= 12; ++i) {
    notifier.Add("10.9.0." + std::to_string(i), HostState::kUp, HostState::kDown, kAt);
  }
  const auto first = Clock::now();
  ASSERT_TRUE(TickUntil(notifier, 1, milliseconds(3000))) << MonitorLog();
  std::string log = MonitorLog();
  EXPECT_NE(
      log.find("string \"Lumoret\"\n   string \"12 台主机中断：10.9.0.1, 10.9.0.2, 10.9.0.3 …\""),
      std::string::npos)
      << log;
  // The hint's name follows the version of the protocol the service speaks.
  EXPECT_TRUE(std::regex_search(
      log,
      std::regex(
          R"re("(image-data|image_data|icon_data)"\s+variant\s+struct \{\s+int32 48\s+int32 48)re")))
      << "no 48x48 icon";

  // The second burst waits out the 5 s since the first, then goes as one.
  notifier.Add("10.9.0.1", HostState::kDown, HostState::kUp, kAt);
  notifier.Add("10.9.0.2", HostState::kDown, HostState::kLossy, kAt);
  TickFor(notifier, milliseconds(4700) - (Clock::now() - first));
  EXPECT_EQ(Notifies(), 1) << "sooner than 5 s after the first";
  ASSERT_TRUE(TickUntil(notifier, 2, milliseconds(1500)));
  EXPECT_GE(Clock::now() - first, milliseconds(5000));
  log = MonitorLog();
  EXPECT_NE(log.find("string \"2 台主机恢复：10.9.0.1, 10.9.0.2\""), std::string::npos) << log;
}

TEST(WithoutService, NothingBreaksAndStderrSaysSoOnce) {
  AlertNotifier notifier;
  ::testing::internal::CaptureStderr();
  for (int round = 0; round < 2; ++round) {
    notifier.Add("10.9.0.1", HostState::kUp, HostState::kDown, kAt);
    const auto start = Clock::now();
    notifier.Tick();
    EXPECT_LT(Clock::now() - start, milliseconds(2000)) << "blocked on the missing service";
    TickFor(notifier, milliseconds(5100));
  }
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(said, "Lumoret: no desktop notification service answered; alerts are not shown\n");
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (std::getenv("ALERT_MONITOR_LOG") == nullptr) {
    std::fputs("alert_notifier_test: run it through alert_notifier_test.sh\n", stderr);
    return 1;
  }
  ::setenv("NO_AT_BRIDGE", "1", 1);
  wxApp::SetInstance(new wxApp);
  if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) {
    std::fputs("alert_notifier_test: cannot start wxWidgets on this display\n", stderr);
    return 1;
  }
  const int result = RUN_ALL_TESTS();
  wxTheApp->OnExit();
  wxEntryCleanup();
  return result;
}
