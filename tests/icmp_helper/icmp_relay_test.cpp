// The helper's relay on a real raw socket, and the helper as a process: what it sends,
// what it passes on, and which rights it keeps. Root only (raw sockets), in a private
// network namespace where only loopback exists.
#include "icmp_helper/icmp_relay.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/delay_time_mgr.h"
#include "tests/common/temp_dir_fixture.h"

namespace {

using platform::IpFamily;
using platform::RelayMessage;
using Bytes = std::vector<unsigned char>;

constexpr int kQuietMs = 300;  // how long the wire is watched for more

const platform::AddressBytes kLoopback = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1};

Bytes Message(const RelayMessage& message) {
  Bytes bytes(RelayMessage::kMaxSize);
  bytes.resize(message.Encode(bytes.data()));
  return bytes;
}

Bytes EchoRequest(std::uint16_t identifier, std::uint16_t sequence,
                  const platform::AddressBytes& to = kLoopback) {
  RelayMessage request;
  request.kind = RelayMessage::Kind::kEchoRequest;
  request.address = to;
  request.identifier = identifier;
  request.sequence = sequence;
  return Message(request);
}

Bytes Filter(std::uint16_t first, std::uint32_t count) {
  RelayMessage filter;
  filter.kind = RelayMessage::Kind::kFilter;
  filter.first_identifier = first;
  filter.identifier_count = count;
  return Message(filter);
}

// The ICMP message of an IPv4 datagram of length bytes.
Bytes IcmpOf(const unsigned char* datagram, std::size_t length) {
  const std::size_t header = (datagram[0] & 0x0F) * 4u;
  return length > header ? Bytes(datagram + header, datagram + length) : Bytes();
}

bool Readable(int fd, int ms) {
  pollfd wait{fd, POLLIN, 0};
  return ::poll(&wait, 1, ms) == 1;
}

class IcmpRelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) {
      GTEST_SKIP() << "raw sockets need root";
    }
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    program_ = pair[0];
    relay_ = std::make_unique<IcmpRelay>(pair[1], IpFamily::kV4);
    relay_->OpenRawSocket();
    ASSERT_GE(relay_->raw(), 0);
    // Sees every ICMP message on loopback: the requests the relay sends, and the replies.
    wire_ = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    ASSERT_GE(wire_, 0);
  }
  void TearDown() override {
    ::close(program_);  // -1 when never opened: harmless
    ::close(wire_);
  }

  // The program asks; the relay serves what was asked.
  void Ask(const Bytes& message) {
    ASSERT_EQ(::send(program_, message.data(), message.size(), 0),
              static_cast<ssize_t>(message.size()));
  }
  void Serve() { ASSERT_TRUE(relay_->ServeRequests()); }

  // The echo requests that went out on loopback.
  std::vector<Bytes> RequestsSent() {
    std::vector<Bytes> requests;
    unsigned char datagram[256];
    while (Readable(wire_, kQuietMs)) {
      const ssize_t n = ::recv(wire_, datagram, sizeof datagram, 0);
      const Bytes icmp = IcmpOf(datagram, n > 0 ? static_cast<std::size_t>(n) : 0);
      if (!icmp.empty() && icmp[0] == 8) {
        requests.push_back(icmp);
      }
    }
    return requests;
  }

  // The replies the relay passed on to the program.
  std::vector<Bytes> RepliesPassed() {
    while (Readable(relay_->raw(), kQuietMs)) {
      EXPECT_TRUE(relay_->PassDatagrams());
    }
    std::vector<Bytes> replies;
    unsigned char bytes[RelayMessage::kMaxSize];
    ssize_t n;
    while ((n = ::recv(program_, bytes, sizeof bytes, MSG_DONTWAIT)) > 0) {
      const auto message = RelayMessage::Decode(bytes, static_cast<std::size_t>(n), IpFamily::kV4);
      EXPECT_TRUE(message && message->kind == RelayMessage::Kind::kDatagram);
      if (message) {
        EXPECT_EQ(message->address, kLoopback);
        EXPECT_TRUE(message->wall_stamp_ns);
        EXPECT_TRUE(message->overflow_count);
        replies.push_back(IcmpOf(message->bytes, message->length));
      }
    }
    return replies;
  }

  std::unique_ptr<IcmpRelay> relay_;
  int program_ = -1;  // the program's end of the relay
  int wire_ = -1;     // a raw socket watching loopback
};

TEST_F(IcmpRelayTest, SendsOnlyWellFormedEchoRequestsToUnicastAddresses) {
  RelayMessage ready;
  ready.kind = RelayMessage::Kind::kReady;
  Ask(EchoRequest(0x4242, 1, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 224, 0, 0, 1}));
  Ask(Message(ready));
  Ask({4, 0, 0});
  Ask(Filter(0, 65537));
  Ask(EchoRequest(0x4242, 7));
  Serve();
  EXPECT_EQ(relay_->refused(), 4u);
  // Type 8, code 0, the checksum, identifier 0x4242, sequence 7, and nothing more.
  EXPECT_EQ(RequestsSent(), (std::vector<Bytes>{{8, 0, 0xB5, 0xB6, 0x42, 0x42, 0, 7}}));
}

TEST_F(IcmpRelayTest, PassesOnlyRepliesToTheIdentifiersNamedOnce) {
  Ask(EchoRequest(0x4242, 1));
  Serve();
  EXPECT_TRUE(RepliesPassed().empty()) << "a reply passed before the program named its own";

  Ask(Filter(0x4242, 1));
  Ask(EchoRequest(0x4242, 2));
  Ask(EchoRequest(0x5000, 1));
  Serve();
  // The echo reply to 0x4242's second request alone.
  EXPECT_EQ(RepliesPassed(), (std::vector<Bytes>{{0, 0, 0xBD, 0xBB, 0x42, 0x42, 0, 2}}));

  // The filter is fixed: a second one is refused and changes nothing.
  Ask(Filter(0x5000, 1));
  Ask(EchoRequest(0x5000, 2));
  Serve();
  EXPECT_EQ(relay_->refused(), 1u);
  EXPECT_TRUE(RepliesPassed().empty());
}

// The helper's process, started as the program starts it: in a sudo start, as root.
TEST(IcmpHelperTest, GivesUpEveryRightAndRelaysForTheProgram) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "a sudo start is root's";
  }
  ::setenv("SUDO_UID", "65534", 1);
  ::setenv("SUDO_GID", "65534", 1);
  const platform::IcmpRelays relays = platform::StartIcmpHelper(LUMORET_ICMP_HELPER);
  ::unsetenv("SUDO_UID");
  ::unsetenv("SUDO_GID");
  ASSERT_TRUE(relays.answered) << relays.v4_error.message();
  ASSERT_GE(relays.v4, 0);
  EXPECT_EQ(platform::GetSocketKind(relays.v4), platform::SocketKind::kRaw);

  // The helper: our child of that name.
  const std::string pgrep = "pgrep -x -P " + std::to_string(::getpid()) + " lumoret-icmp";
  FILE* found = ::popen(pgrep.c_str(), "r");
  pid_t helper = -1;
  ASSERT_TRUE(found != nullptr && std::fscanf(found, "%d", &helper) == 1);
  ::pclose(found);
  std::ifstream status("/proc/" + std::to_string(helper) + "/status");
  std::string line;
  std::vector<std::string> kept;
  while (std::getline(status, line)) {
    if (line.rfind("Uid:", 0) == 0 || line.rfind("Gid:", 0) == 0 || line.rfind("Cap", 0) == 0 ||
        line.rfind("NoNewPrivs:", 0) == 0) {
      kept.push_back(line);
    }
  }
  const std::vector<std::string> expected = {
      "Uid:\t65534\t65534\t65534\t65534", "Gid:\t65534\t65534\t65534\t65534",
      "CapInh:\t0000000000000000",        "CapPrm:\t0000000000000000",
      "CapEff:\t0000000000000000",        "CapBnd:\t0000000000000000",
      "CapAmb:\t0000000000000000",        "NoNewPrivs:\t1"};
  EXPECT_EQ(kept, expected);
  // Not dumpable: its /proc entries stay root's, out of its user's reach.
  struct stat entry;
  ASSERT_EQ(::stat(("/proc/" + std::to_string(helper) + "/mem").c_str(), &entry), 0);
  EXPECT_EQ(entry.st_uid, 0u);

  // Only echo requests go in; the burst test below sends them through and back.
  const unsigned char timestamp_request[8] = {13, 0, 0, 0, 0x42, 0x42, 0, 1};
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(platform::SendDatagram(relays.v4, timestamp_request, 8, &to, sizeof to).value(),
            EINVAL);

  // Its relays closed, it ends.
  platform::CloseSocket(relays.v4);
  if (relays.v6 >= 0) {
    platform::CloseSocket(relays.v6);
  }
  int exit_status = -1;
  for (int i = 0; i < 200 && ::waitpid(helper, &exit_status, WNOHANG) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(WIFEXITED(exit_status) && WEXITSTATUS(exit_status) == 0);
}

// Thousands of targets send at once when the engine starts, faster than the helper can
// take requests off the relay: none may fail for want of room, nor time out.
class IcmpHelperBurstTest : public TempDirFixture {};

TEST_F(IcmpHelperBurstTest, CarriesTheEnginesBurstOfTenThousandTargets) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "the helper needs root or its capability here";
  }
  const std::filesystem::path old_dir = std::filesystem::current_path();
  std::filesystem::current_path(dir_);
  {
    std::ofstream config("config.ini");
    for (int i = 0; i < 10000; ++i) {
      config << "127.0.0.1\n";
    }
  }
  const platform::IcmpRelays relays = platform::StartIcmpHelper(LUMORET_ICMP_HELPER);
  ASSERT_GE(relays.v4, 0) << relays.v4_error.message();
  DelayTimeMgr engine(relays.v4, nullptr, relays.v6);  // reads config.ini here
  std::filesystem::current_path(old_dir);
  engine.Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // two rounds
  engine.Stop();
  EXPECT_EQ(engine.send_error_count.load(), 0u);
  std::size_t answered = 0;
  std::uint32_t timeouts = 0;
  for (const auto& target : engine.targets) {
    answered += target->reply_count > 0 ? 1 : 0;
    timeouts += target->timeout_count;
  }
  EXPECT_EQ(answered, engine.targets.size());
  EXPECT_EQ(timeouts, 0u);
}

}  // namespace
