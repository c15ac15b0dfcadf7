#include "engine/delay_time_mgr.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <boost/asio/ip/udp.hpp>
#include <boost/system/system_error.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "engine/config_error.h"
#include "platform/platform.h"

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
  // Feeds one datagram to the receive path as if socket channel had delivered it from
  // source, stamped on arrival by the kernel.
  static void Deliver(DelayTimeMgr& mgr, const std::string& datagram, std::size_t channel = 0,
                      const char* source = "0.0.0.0") {
    const ClockPair clocks = ClockPair::Now();
    mgr.HandleDatagram(channel, reinterpret_cast<const unsigned char*>(datagram.data()),
                       datagram.size(), AddressBytesOf(boost::asio::ip::make_address(source)),
                       clocks.wall_ns, clocks);
  }
  // An echo reply as a peer would send it, built without the engine's header classes.
  static std::string EchoReply(const char* source, std::uint16_t identifier, std::uint16_t sequence,
                               std::uint8_t type = 0, std::size_t options = 0) {
    std::string d(20 + options, '\0');
    d[0] = static_cast<char>(0x45 + options / 4);
    const auto src = boost::asio::ip::make_address_v4(source).to_bytes();
    std::copy(src.begin(), src.end(), d.begin() + 12);
    return d + IcmpReply(identifier, sequence, type);
  }
  // An ICMP echo reply message alone, as a datagram socket delivers it.
  static std::string IcmpReply(std::uint16_t identifier, std::uint16_t sequence,
                               std::uint8_t type = 0) {
    const unsigned char icmp[8] = {type,
                                   0,
                                   0x12,
                                   0x34,
                                   static_cast<unsigned char>(identifier >> 8),
                                   static_cast<unsigned char>(identifier),
                                   static_cast<unsigned char>(sequence >> 8),
                                   static_cast<unsigned char>(sequence)};
    return std::string(reinterpret_cast<const char*>(icmp), 8);
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

TEST_F(DelayTimeMgrTest, MatchesRepliesByIdentifierSequenceAndSource) {
  WriteConfig("127.0.0.1\n127.0.0.2\n#x\n127.0.0.3\nnot a host\n");
  auto mgr = MakeManager();
  REQUIRE_RAW_SOCKET(mgr);
  ASSERT_EQ(mgr->targets.size(), 4u);
  DelayTarget& t1 = *mgr->targets[1];
  EXPECT_FALSE(mgr->targets[3]->resolved);
  const unsigned long pid = platform::GetPid();
  const auto id = [pid](int offset) { return static_cast<std::uint16_t>(pid + offset); };

  // Past the unaccounted first request, with the second one outstanding.
  t1.StartSend();
  Deliver(*mgr, EchoReply("127.0.0.2", id(1), 1));
  t1.StartSend();
  ASSERT_EQ(t1.sequence_number(), 2);

  Deliver(*mgr, EchoReply("127.0.0.2", id(3), 2));   // beyond the last index
  Deliver(*mgr, EchoReply("127.0.0.2", id(-1), 2));  // wraps to index 65535
  Deliver(*mgr, EchoReply("127.0.0.2", id(1), 3));   // not sent yet
  Deliver(*mgr, EchoReply("127.0.0.9", id(1), 2));   // another sender
  EXPECT_EQ(mgr->foreign_count, 4u);
  Deliver(*mgr, EchoReply("127.0.0.2", id(1), 2, 8));  // an echo request
  EXPECT_EQ(mgr->foreign_count, 5u);
  Deliver(*mgr, EchoReply("127.0.0.2", id(1), 2).substr(0, 27));  // cut short
  std::string version6 = EchoReply("127.0.0.2", id(1), 2);
  version6[0] = 0x65;
  Deliver(*mgr, version6);
  EXPECT_EQ(mgr->malformed_count, 2u);
  Deliver(*mgr, EchoReply("127.0.0.2", id(1), 1));  // the first reply again
  EXPECT_EQ(t1.duplicate_count, 1u);
  EXPECT_TRUE(t1.awaiting_reply());
  EXPECT_EQ(t1.reply_count, 0u);

  // Options, an odd code, a wrong checksum and trailing data do not matter.
  std::string reply = EchoReply("127.0.0.2", id(1), 2, 0, 40);
  reply[61] = 3;
  Deliver(*mgr, reply + std::string(56, 'd'));
  EXPECT_FALSE(t1.awaiting_reply());
  EXPECT_EQ(t1.reply_count, 1u);
  EXPECT_EQ(mgr->targets[0]->reply_count + mgr->targets[2]->reply_count, 0u);
  EXPECT_EQ(mgr->foreign_count, 5u);
}

// An ICMPv6 socket brings the reply without IP header: the sender comes from the system.
TEST_F(DelayTimeMgrTest, MatchesIcmpv6RepliesByTypeIdentifierAndSource) {
  WriteConfig("127.0.0.1\n::1\n");
  auto mgr = MakeManager();
  REQUIRE_RAW_SOCKET(mgr);
  ASSERT_EQ(mgr->socket_kind_v6, platform::SocketKind::kRaw);
  DelayTarget& t = *mgr->targets[1];
  const auto id = static_cast<std::uint16_t>(platform::GetPid() + 1);
  t.StartSend();
  Deliver(*mgr, IcmpReply(id, 1, 129), 1, "::1");
  t.StartSend();
  Deliver(*mgr, IcmpReply(id, 2), 1, "::1");       // ICMP's echo reply type
  Deliver(*mgr, IcmpReply(id, 2, 129), 1, "::2");  // another sender
  Deliver(*mgr, IcmpReply(id, 2, 129), 1, "127.0.0.1");
  Deliver(*mgr, IcmpReply(id - 1, 2, 129), 1, "::1");  // the IPv4 target's identifier
  EXPECT_EQ(mgr->foreign_count, 4u);
  EXPECT_TRUE(t.awaiting_reply());
  Deliver(*mgr, IcmpReply(id, 2, 129), 1, "::1");
  EXPECT_EQ(t.reply_count, 1u);
  EXPECT_EQ(mgr->targets[0]->reply_count, 0u);
}

TEST(ArrivalTime, TurnsTheKernelStampIntoSteadyTimeHoweverOld) {
  ClockPair clocks;
  clocks.steady = std::chrono::steady_clock::time_point(std::chrono::seconds(4000));
  clocks.wall_ns = 1'700'000'000'000'000'000;
  EXPECT_EQ(ArrivalTime(clocks.wall_ns - 2'500'000, clocks),
            clocks.steady - std::chrono::microseconds(2500));
  // A process stopped for an hour still dates what arrived meanwhile by its stamp.
  EXPECT_EQ(ArrivalTime(clocks.wall_ns - 3'600'000'000'000, clocks),
            clocks.steady - std::chrono::hours(1));
  // No stamp, or a stamp after the reading (the wall clock was set back): the reading.
  EXPECT_EQ(ArrivalTime(std::nullopt, clocks), clocks.steady);
  EXPECT_EQ(ArrivalTime(clocks.wall_ns + 1'000'000, clocks), clocks.steady);
}

TEST(ReceiveStamps, DatagramHeldInTheQueueIsDatedByItsArrival) {
  namespace ip = boost::asio::ip;
  boost::asio::io_service io;
  ip::udp::socket receiver(io, ip::udp::endpoint(ip::address_v4::loopback(), 0));
  ip::udp::socket sender(io, ip::udp::v4());
  platform::EnableReceiveTimestamps(static_cast<int>(receiver.native_handle()));
  sender.send_to(boost::asio::buffer("held", 4), receiver.local_endpoint());
  const auto sent = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(milliseconds(100));

  unsigned char slots[2][64];
  platform::ReceivedDatagram datagrams[2];
  std::error_code error;
  const int socket = static_cast<int>(receiver.native_handle());
  ASSERT_EQ(platform::ReceiveDatagrams(socket, slots[0], 64, datagrams, 2, error), 1)
      << error.message();
  EXPECT_EQ(datagrams[0].length, 4u);
  ASSERT_TRUE(datagrams[0].wall_stamp_ns) << "no receive stamp came with the datagram";
  const auto arrival = ArrivalTime(datagrams[0].wall_stamp_ns, ClockPair::Now());
  EXPECT_LT(std::chrono::abs(arrival - sent), milliseconds(20))
      << "dated when it was read, not when it came";
  EXPECT_EQ(platform::ReceiveDatagrams(socket, slots[0], 64, datagrams, 2, error), 0);
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

// A datagram socket's reply names its target by the socket (one per listing of an
// address) and its sender; the identifier is the system's.
TEST_F(DelayTimeMgrTest, MatchesDatagramRepliesBySocketSourceAndSequence) {
  WriteConfig("127.0.0.1\n127.0.0.2\n127.0.0.1\n");
  auto mgr = MakeDatagramManager();
  if (!mgr) {
    GTEST_SKIP() << "ping_group_range cannot be set here";
  }
  DelayTarget& again = *mgr->targets[2];
  again.StartSend();
  Deliver(*mgr, IcmpReply(7, 1), 1, "127.0.0.1");
  again.StartSend();
  Deliver(*mgr, IcmpReply(7, 2), 0, "127.0.0.1");  // the first listing's socket
  Deliver(*mgr, IcmpReply(7, 2), 1, "127.0.0.2");  // nobody sent there on this one
  Deliver(*mgr, IcmpReply(7, 2), 2, "127.0.0.1");  // no such socket
  Deliver(*mgr, IcmpReply(7, 2, 8), 1, "127.0.0.1");
  Deliver(*mgr, EchoReply("127.0.0.1", 7, 2), 1, "127.0.0.1");  // an IPv4 header is no ICMP
  EXPECT_EQ(mgr->foreign_count, 5u);
  Deliver(*mgr, IcmpReply(7, 2).substr(0, 7), 1, "127.0.0.1");
  EXPECT_EQ(mgr->malformed_count, 1u);
  EXPECT_TRUE(again.awaiting_reply());
  Deliver(*mgr, IcmpReply(9, 2), 1, "127.0.0.1");
  EXPECT_FALSE(again.awaiting_reply());
  EXPECT_EQ(again.reply_count, 1u);
  EXPECT_EQ(mgr->targets[0]->reply_count + mgr->targets[0]->late_count, 0u);
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
