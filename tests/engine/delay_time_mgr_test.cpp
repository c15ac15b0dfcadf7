#include "engine/delay_time_mgr.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <boost/system/system_error.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "engine/config_error.h"
#include "engine/icmp_header.h"
#include "engine/target_list.h"
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
  // An engine on a raw socket of its own, or null where the process may not have one.
  static std::unique_ptr<DelayTimeMgr> RawEngine() {
    try {
      auto mgr = std::make_unique<DelayTimeMgr>();
      return mgr->socket_kind == platform::SocketKind::kRaw ? std::move(mgr) : nullptr;
    } catch (const boost::system::system_error&) {
      return nullptr;
    }
  }
  // Waits up to ten seconds for done.
  template <typename Done>
  static bool WaitFor(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) {
        return false;
      }
      std::this_thread::sleep_for(milliseconds(20));
    }
    return true;
  }
  fs::path old_dir_;  // where the test started
};

// The list's positions after a change, by host text, for readable expectations.
std::vector<std::string> Hosts(const DelayTimeMgr& mgr) {
  std::vector<std::string> hosts;
  for (const auto& target : mgr.targets) {
    hosts.push_back(target->host);
  }
  return hosts;
}

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

// Targets added and removed while the worker probes (run under TSan too): those kept go
// on, those added are probed, those removed stop, and a list over the limit is refused
// whole.
TEST_F(DelayTimeMgrTest, TargetsComeAndGoWhileProbing) {
  WriteConfig("127.0.0.1\nlocalhost\n");
  std::unique_ptr<DelayTimeMgr> mgr = RawEngine();
  if (!mgr) {
    GTEST_SKIP() << "no right to open raw ICMP sockets here";
  }
  ASSERT_TRUE(mgr->Start());
  const std::shared_ptr<DelayTarget> kept = mgr->targets[0];
  std::vector<std::shared_ptr<DelayTarget>> removed;
  // Twenty changes, each adding a host and removing the one added before it, while the
  // statistics are read as the window reads them.
  for (int round = 0; round < 20; ++round) {
    std::vector<DelayTimeMgr::ListEntry> list = {
        {0, ""}, {1, ""}, {DelayTimeMgr::kAdded, "127.0.0.1"}};
    if (mgr->targets.size() == 3) {
      removed.push_back(mgr->targets[2]);
    }
    const std::vector<std::size_t> previous = mgr->ChangeTargets(list);
    EXPECT_EQ(previous, (std::vector<std::size_t>{0, 1, DelayTimeMgr::kAdded}));
    std::uint64_t sum = 0;
    for (const auto& target : mgr->targets) {
      sum += target->reply_count + target->timeout_count + target->total_delay_ms;
    }
    EXPECT_GE(sum, 0u);
    std::this_thread::sleep_for(milliseconds(50));
  }
  const std::shared_ptr<DelayTarget> added = mgr->targets[2];
  EXPECT_TRUE(WaitFor([&] { return added->reply_count >= 1 && kept->reply_count >= 2; }));
  EXPECT_EQ(added->lookup, DelayTarget::Lookup::kResolved);
  EXPECT_EQ(added->address().address.address().to_string(), "127.0.0.1");

  // A removed target is probed no more: its counts stand still.
  std::vector<std::uint32_t> counts;
  for (const auto& target : removed) {
    counts.push_back(target->reply_count + target->timeout_count);
  }
  std::this_thread::sleep_for(milliseconds(1500));
  for (std::size_t i = 0; i < removed.size(); ++i) {
    EXPECT_EQ(removed[i]->reply_count + removed[i]->timeout_count, counts[i]) << i;
  }
  EXPECT_EQ(added->timeout_count + kept->timeout_count, 0u);

  std::vector<DelayTimeMgr::ListEntry> too_many(kMaxTargets + 1);
  EXPECT_THROW(mgr->ChangeTargets(too_many), ConfigError);
  EXPECT_EQ(Hosts(*mgr), (std::vector<std::string>{"127.0.0.1", "localhost", "127.0.0.1"}));
  mgr->Stop();
  EXPECT_EQ(mgr->LastError(), "");
}

// A target that takes a removed one's identifier never takes the removed one's late
// replies for its own, whatever sequence number they carry.
TEST_F(DelayTimeMgrTest, LateReplyToARemovedTargetIsNotCreditedToItsSuccessor) {
  WriteConfig("127.0.0.1\n");
  std::unique_ptr<DelayTimeMgr> mgr = RawEngine();
  if (!mgr) {
    GTEST_SKIP() << "no right to open raw ICMP sockets here";
  }
  ASSERT_TRUE(mgr->Start());
  const std::shared_ptr<DelayTarget> first = mgr->targets[0];
  ASSERT_TRUE(WaitFor([&] { return first->reply_count >= 1; }));  // requests 1 and 2 answered
  mgr->ChangeTargets({{DelayTimeMgr::kAdded, "127.0.0.1"}});
  const std::shared_ptr<DelayTarget> second = mgr->targets[0];
  EXPECT_EQ(second->identifier_offset, first->identifier_offset);
  // The successor's own requests 1 and 2 would be the ones the late reply names.
  ASSERT_TRUE(WaitFor([&] { return second->reply_count >= 1; }));

  // The late reply: an echo reply from the same address to the same identifier, with the
  // sequence number of the removed target's first request.
  IcmpHeader late;
  late.type(IcmpHeader::kEchoReply);
  late.code(0);
  late.identifier(IdentifierForIndex(platform::GetPid(), first->identifier_offset));
  late.sequence_number(1);
  late.ComputeChecksum();
  const int raw = ::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  ASSERT_GE(raw, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::uint32_t foreign_before = mgr->foreign_count;
  ASSERT_EQ(
      ::sendto(raw, late.data(), IcmpHeader::kSize, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
      static_cast<ssize_t>(IcmpHeader::kSize));
  ::close(raw);
  EXPECT_TRUE(WaitFor([&] { return mgr->foreign_count > foreign_before; }));
  mgr->Stop();
  EXPECT_EQ(second->duplicate_count + second->late_count, 0u);
}

// A name whose address changes (its hosts file rewritten) is followed at the next
// look-up: probing moves to the new address, and the record says when and from where.
TEST_F(DelayTimeMgrTest, NameWhoseAddressChangesIsFollowed) {
  std::ofstream("hosts") << "127.0.0.1 localhost\n127.0.0.2 moving.test\n";
  // The suite's own mount namespace: the bind goes with the process.
  if (::mount((dir_ / "hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "cannot bind a hosts file over /etc/hosts here";
  }
  WriteConfig("moving.test\n");
  std::unique_ptr<DelayTimeMgr> mgr = RawEngine();
  if (!mgr) {
    ::umount("/etc/hosts");
    GTEST_SKIP() << "no right to open raw ICMP sockets here";
  }
  const DelayTarget& target = *mgr->targets[0];
  ASSERT_EQ(target.address().address.address().to_string(), "127.0.0.2");
  mgr->SetResolveInterval(std::chrono::seconds(1));
  ASSERT_TRUE(mgr->Start());
  ASSERT_TRUE(WaitFor([&] { return target.reply_count >= 1; }));

  const std::int64_t before_ms = ClockPair::Now().wall_ns / 1000000;
  std::ofstream("hosts") << "127.0.0.1 localhost\n127.0.0.3 moving.test\n";  // same file
  ASSERT_TRUE(WaitFor([&] { return target.address().changed_ms != 0; }));
  const std::uint32_t replies_at_move = target.reply_count;
  EXPECT_TRUE(WaitFor([&] { return target.reply_count >= replies_at_move + 2; }));
  mgr->Stop();
  ::umount("/etc/hosts");
  const DelayTarget::AddressRecord record = target.address();
  EXPECT_EQ(record.address.address().to_string(), "127.0.0.3");
  ASSERT_TRUE(record.previous.has_value());
  EXPECT_EQ(record.previous->address().to_string(), "127.0.0.2");
  EXPECT_GE(record.changed_ms, before_ms);
  EXPECT_LE(record.changed_ms, ClockPair::Now().wall_ns / 1000000);
}

}  // namespace
