#include "engine/delay_time_mgr.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <boost/system/system_error.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "engine/config_error.h"
#include "platform/platform.h"
#include "tests/engine/reply_bytes.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// Runs each test in a fresh working directory. The suite runs in a private network
// namespace, so the engine's packets and look-ups stay on this machine.
class DelayTimeMgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_dir_ = fs::current_path();
    dir_ = fs::temp_directory_path() /
           ("lumoret-mgr-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(old_dir_);
    fs::remove_all(dir_);
  }
  static void WriteConfig(const std::string& text) { std::ofstream("config.ini") << text; }
  // An engine on a raw socket; nullptr (the test skips) where none can be opened.
  std::unique_ptr<DelayTimeMgr> MakeManager() {
    try {
      auto mgr = std::make_unique<DelayTimeMgr>();
      return mgr->socket_kind == platform::SocketKind::kRaw ? std::move(mgr) : nullptr;
    } catch (const boost::system::system_error& e) {
      if (e.code() == boost::system::errc::operation_not_permitted) {
        return nullptr;
      }
      throw;
    }
  }
  // The same on ICMP datagram sockets, which need no right once the namespace's
  // ping_group_range admits our group; nullptr where it cannot be set.
  std::unique_ptr<DelayTimeMgr> MakeDatagramManager() {
    if (!(std::ofstream("/proc/sys/net/ipv4/ping_group_range") << "0 2147483647\n")) {
      return nullptr;
    }
    auto mgr = std::make_unique<DelayTimeMgr>(platform::OpenDatagramIcmpSocket());
    EXPECT_EQ(mgr->socket_kind, platform::SocketKind::kDatagram);
    return mgr;
  }
  // Feeds one ICMP message to the engine as socket channel delivered it from source.
  static void Deliver(DelayTimeMgr& mgr, const std::string& datagram, std::size_t channel,
                      const char* source) {
    const ClockPair clocks = ClockPair::Now();
    mgr.HandleDatagram(channel, reinterpret_cast<const unsigned char*>(datagram.data()),
                       datagram.size(), AddressBytesOf(boost::asio::ip::make_address(source)),
                       clocks.wall_ns, clocks);
  }

  fs::path old_dir_;
  fs::path dir_;
};

#define REQUIRE_RAW_SOCKET(mgr)                           \
  if (!(mgr)) {                                           \
    GTEST_SKIP() << "no right to open ICMP sockets here"; \
  }

// The file's own rules are target_list_test's; here, that its sample targets are probed.
TEST_F(DelayTimeMgrTest, ProbesTheSampleTargetsOfANewConfig) {
  auto mgr = MakeManager();
  REQUIRE_RAW_SOCKET(mgr);
  ASSERT_TRUE(fs::is_regular_file("config.ini"));
  ASSERT_EQ(mgr->targets.size(), 2u);
  EXPECT_TRUE(mgr->targets[0]->resolved) << mgr->targets[0]->host;
  EXPECT_EQ(mgr->targets[1]->identifier_offset, 1);
  EXPECT_FALSE(mgr->targets[1]->host.empty());
}

// Config for ExpectLoopbackProbed: two independent rows for one host, and one unresolved.
constexpr char kLoopbackTwice[] =
    "127.0.0.1\r\n# a comment\n127.0.0.1\n::1\n::1\nno-such-host.invalid\n";

void ExpectLoopbackProbed(std::unique_ptr<DelayTimeMgr> mgr) {
  ASSERT_EQ(mgr->targets.size(), 5u);
  mgr->Stop();  // never started: nothing happens
  ASSERT_TRUE(mgr->Start());
  EXPECT_FALSE(mgr->Start());

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  const auto all_answered = [&mgr] {
    for (int i = 0; i < 4; ++i) {
      if (mgr->targets[i]->reply_count < 2) {
        return false;
      }
    }
    return true;
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
    EXPECT_LE(t.min_delay_ms, t.max_delay_ms);
    // First reply unaccounted, at most one request outstanding.
    EXPECT_GE(t.sequence_number(), t.reply_count + 1);
    EXPECT_LE(t.sequence_number(), t.reply_count + 2);
  }
  EXPECT_EQ(mgr->targets[4]->sequence_number(), 0);
  EXPECT_EQ(mgr->send_error_count + mgr->receive_error_count + mgr->malformed_count, 0u);
}

TEST_F(DelayTimeMgrTest, ProbesLoopbackAndStopsPromptly) {
  WriteConfig(kLoopbackTwice);
  auto mgr = MakeManager();
  REQUIRE_RAW_SOCKET(mgr);
  EXPECT_EQ(mgr->socket_kind, platform::SocketKind::kRaw);
  ExpectLoopbackProbed(std::move(mgr));
}

// Each further listing of an address goes out, and is answered, on a socket of its own;
// the receive path names the target by socket and sender (ReceivePath's tests say how).
TEST_F(DelayTimeMgrTest, FurtherListingOfAnAddressGetsTheNextDatagramSocket) {
  WriteConfig("127.0.0.1\n127.0.0.2\n127.0.0.1\n");
  auto mgr = MakeDatagramManager();
  if (!mgr) {
    GTEST_SKIP() << "ping_group_range cannot be set here";
  }
  for (const auto& target : mgr->targets) {
    target->StartSend();
    target->StartSend();
  }
  Deliver(*mgr, IcmpReply(7, 2), 1, "127.0.0.2");  // the second socket: not its listing
  Deliver(*mgr, IcmpReply(7, 2), 2, "127.0.0.1");  // no third socket
  EXPECT_EQ(mgr->foreign_count, 2u);
  Deliver(*mgr, IcmpReply(7, 2), 1, "127.0.0.1");
  Deliver(*mgr, IcmpReply(7, 2), 0, "127.0.0.2");
  EXPECT_EQ(mgr->targets[0]->reply_count, 0u);
  EXPECT_EQ(mgr->targets[1]->reply_count, 1u);
  EXPECT_EQ(mgr->targets[2]->reply_count, 1u);
}

// Each listing of a host needs a datagram socket of its own, past the usual soft limit
// on descriptors.
TEST_F(DelayTimeMgrTest, HostListedMoreOftenThanTheSoftDescriptorLimit) {
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  if (saved.rlim_max < 1024) {
    GTEST_SKIP() << "hard descriptor limit too low";
  }
  rlimit low = saved;
  low.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::string config;
  for (int i = 0; i < 200; ++i) {
    config += "127.0.0.1\n";
  }
  WriteConfig(config);
  std::unique_ptr<DelayTimeMgr> mgr;
  EXPECT_NO_THROW(mgr = MakeDatagramManager());
  ::setrlimit(RLIMIT_NOFILE, &saved);
  if (!mgr && !HasFailure()) {
    GTEST_SKIP() << "ping_group_range cannot be set here";
  }
  ASSERT_NE(mgr, nullptr);
  EXPECT_EQ(mgr->targets.size(), 200u);
}

// Thousands of replies at once queue up in the socket; each is still timed by its arrival,
// not by when the worker got to it.
TEST_F(DelayTimeMgrTest, BurstOfLoopbackRepliesKeepsItsDelays) {
  constexpr int kTargets = 3000;
  std::string config;
  for (int i = 0; i < kTargets; ++i) {
    config += "127.0.0.1\n";
  }
  WriteConfig(config);
  auto mgr = MakeManager();
  REQUIRE_RAW_SOCKET(mgr);
  const auto replies = [&mgr] {
    std::uint64_t sum = 0;
    for (const auto& t : mgr->targets) {
      sum += t->reply_count;
    }
    return sum;
  };
  ASSERT_TRUE(mgr->Start());
  // The second round is the first accounted one.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (replies() < kTargets && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(50));
  }
  mgr->Stop();
  std::uint64_t total_ms = 0;
  for (const auto& t : mgr->targets) {
    total_ms += t->total_delay_ms;
  }
  const std::uint64_t count = replies();
  // Without root the socket's buffer may be too small to hold the whole burst.
  ASSERT_GE(count, kTargets / 3u);
  EXPECT_LE(static_cast<double>(total_ms) / count, 5.0);
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
