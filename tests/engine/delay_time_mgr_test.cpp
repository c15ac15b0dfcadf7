#include "engine/delay_time_mgr.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <boost/system/system_error.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "engine/config_error.h"
#include "platform/platform.h"
#include "tests/common/temp_dir_fixture.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// Runs each test in a fresh working directory. The suite runs in a private network
// namespace, so the engine's packets and look-ups stay on this machine.
class DelayTimeMgrTest : public TempDirFixture {
 protected:
  void SetUp() override {
    TempDirFixture::SetUp();
    old_dir_ = fs::current_path();
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(old_dir_);
    TempDirFixture::TearDown();
  }
  static void WriteConfig(const std::string& text) { std::ofstream("config.ini") << text; }
  fs::path old_dir_;  // where the test started
};

// Two independent rows for one host in each family, and one unresolved.
TEST_F(DelayTimeMgrTest, ProbesLoopbackAndStopsPromptly) {
  WriteConfig("127.0.0.1\r\n# a comment\n127.0.0.1\n::1\n::1\nno-such-host.invalid\n");
  std::unique_ptr<DelayTimeMgr> mgr;
  try {
    mgr = std::make_unique<DelayTimeMgr>();
  } catch (const boost::system::system_error& e) {
    ASSERT_EQ(e.code(), boost::system::errc::operation_not_permitted) << e.what();
  }
  if (!mgr || mgr->socket_kind != platform::SocketKind::kRaw) {
    GTEST_SKIP() << "no right to open raw ICMP sockets here";
  }
  ASSERT_EQ(mgr->targets.size(), 5u);
  mgr->Stop();  // never started: nothing happens
  ASSERT_TRUE(mgr->Start());
  EXPECT_FALSE(mgr->Start());

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  const auto all_answered = [&mgr] {
    return std::all_of(mgr->targets.begin(), mgr->targets.begin() + 4,
                       [](const auto& t) { return t->reply_count >= 2; });
  };
  while (!all_answered() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(20));
  }
  const auto before_stop = std::chrono::steady_clock::now();
  mgr->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before_stop, milliseconds(1000));
  EXPECT_EQ(mgr->LastError(), "");
  for (int i = 0; i < 4; ++i) {
    const DelayTarget& t = *mgr->targets[i];
    EXPECT_GE(t.reply_count, 2u) << i;
    EXPECT_EQ(t.timeout_count, 0u) << i;
    EXPECT_LT(t.max_delay_ms, 100u) << i;
  }
  EXPECT_EQ(mgr->targets[4]->sequence_number(), 0);
  EXPECT_EQ(mgr->send_error_count + mgr->receive_error_count + mgr->malformed_count, 0u);
}

// Each listing of a host needs a datagram socket of its own, past the usual soft limit
// on descriptors.
TEST_F(DelayTimeMgrTest, HostListedMoreOftenThanTheSoftDescriptorLimit) {
  // ICMP datagram sockets need no right once the namespace's ping_group_range admits us.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  if (saved.rlim_max < 1024 ||
      !(std::ofstream("/proc/sys/net/ipv4/ping_group_range") << "0 2147483647\n")) {
    GTEST_SKIP() << "hard descriptor limit too low, or ping_group_range cannot be set here";
  }
  std::string config;
  for (int i = 0; i < 200; ++i) {
    config += "127.0.0.1\n";
  }
  WriteConfig(config);
  const rlimit low{64, saved.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::unique_ptr<DelayTimeMgr> mgr;
  EXPECT_NO_THROW(mgr = std::make_unique<DelayTimeMgr>(platform::OpenDatagramIcmpSocket()));
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_NE(mgr, nullptr);
  EXPECT_EQ(mgr->socket_kind, platform::SocketKind::kDatagram);
  EXPECT_EQ(mgr->targets.size(), 200u);
}

TEST_F(DelayTimeMgrTest, GetInstanceTakesTheSocketAndRetriesAfterFailedConstruction) {
  int socket = -1;
  try {
    socket = DelayTimeMgr::OpenIcmpSocket();
  } catch (const platform::RightsError&) {
    GTEST_SKIP() << "no right to open ICMP sockets here";
  }
  fs::create_directory("config.ini");
  EXPECT_THROW(DelayTimeMgr::GetInstance(socket), ConfigError);
  fs::remove("config.ini");
  WriteConfig("127.0.0.1\nlocalhost\n");
  // The failed attempt closed its socket; the next one brings its own.
  socket = DelayTimeMgr::OpenIcmpSocket();
  std::size_t awaited = 0;
  DelayTimeMgr& mgr = DelayTimeMgr::GetInstance(socket, [&](NameResolver& names) {
    names.Wait(std::chrono::seconds(10));
    awaited = names.done();
  });
  EXPECT_EQ(&mgr, &DelayTimeMgr::GetInstance(-1));
  EXPECT_EQ(awaited, 2u);
  ASSERT_EQ(mgr.targets.size(), 2u);
  EXPECT_TRUE(mgr.targets[1]->resolved);
}

}  // namespace
