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

#include <algorithm>
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

// An echo request to 127.0.0.1, or to 224.0.0.1 if multicast.
Bytes EchoRequest(std::uint16_t identifier, std::uint16_t sequence, bool multicast = false) {
  RelayMessage request;
  request.kind = RelayMessage::Kind::kEchoRequest;
  request.address = kLoopback;
  request.address[12] = multicast ? 224 : 127;
  request.identifier = identifier;
  request.sequence = sequence;
  Bytes bytes(RelayMessage::kMaxSize);
  bytes.resize(request.Encode(bytes.data()));
  return bytes;
}

// The ICMP message of an IPv4 datagram of length bytes.
Bytes IcmpOf(const unsigned char* datagram, std::size_t length) {
  const std::size_t header = (datagram[0] & 0x0F) * 4u;
  return length > header ? Bytes(datagram + header, datagram + length) : Bytes();
}

// What a shell command prints, its first 4 KiB.
std::string Output(const std::string& command) {
  std::string text(4096, '\0');
  FILE* pipe = ::popen(command.c_str(), "r");
  text.resize(pipe != nullptr ? std::fread(&text[0], 1, text.size(), pipe) : 0);
  if (pipe != nullptr) {
    ::pclose(pipe);
  }
  return text;
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

TEST_F(IcmpRelayTest,
       SendsOnlyWellFormedRequestsAndPassesOnlyRepliesToTheIdentifiersNamedAsTheyGrow) {
  Ask(EchoRequest(0x4242, 1, true));
  Ask({1, 0, 0, 0, 0});  // the helper's own word: it is ready
  Ask(EchoRequest(0x4242, 7));
  Serve();
  EXPECT_EQ(relay_->refused(), 2u);
  // Type 8, code 0, the checksum, identifier 0x4242, sequence 7, and nothing more.
  EXPECT_EQ(RequestsSent(), (std::vector<Bytes>{{8, 0, 0xB5, 0xB6, 0x42, 0x42, 0, 7}}));
  EXPECT_TRUE(RepliesPassed().empty()) << "a reply passed before the program named its own";

  Ask({3, 0x42, 0x42, 0, 0, 0, 1});  // the filter: one identifier, 0x4242
  Ask(EchoRequest(0x4242, 2));
  Ask(EchoRequest(0x5000, 1));
  Serve();
  // The echo reply to 0x4242's second request alone.
  EXPECT_EQ(RepliesPassed(), (std::vector<Bytes>{{0, 0, 0xBD, 0xBB, 0x42, 0x42, 0, 2}}));

  // A narrower, an equal or a moved range is refused and changes nothing.
  Ask({3, 0x42, 0x42, 0, 0, 0, 0});
  Ask({3, 0x42, 0x42, 0, 0, 0, 1});
  Ask({3, 0x42, 0x41, 0, 0, 0, 3});
  Ask(EchoRequest(0x4241, 1));
  Ask(EchoRequest(0x4243, 1));
  Serve();
  EXPECT_EQ(relay_->refused(), 5u);
  EXPECT_TRUE(RepliesPassed().empty());

  // A wider one, from the same first identifier, lets 0x4243's replies through now.
  Ask({3, 0x42, 0x42, 0, 0, 0, 2});
  Ask(EchoRequest(0x4243, 2));
  Ask(EchoRequest(0x4244, 1));
  Serve();
  EXPECT_EQ(relay_->refused(), 5u);
  EXPECT_EQ(RepliesPassed(), (std::vector<Bytes>{{0, 0, 0xBD, 0xBA, 0x42, 0x43, 0, 2}}));
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
  const pid_t helper =
      std::atoi(Output("pgrep -x -P " + std::to_string(::getpid()) + " lumoret-icmp").c_str());
  ASSERT_GT(helper, 0);
  const std::string proc = "/proc/" + std::to_string(helper);
  EXPECT_EQ(Output("grep -E '^(Uid|Gid|Cap...|NoNewPrivs):' " + proc + "/status"),
            "Uid:\t65534\t65534\t65534\t65534\nGid:\t65534\t65534\t65534\t65534\n"
            "CapInh:\t0000000000000000\nCapPrm:\t0000000000000000\nCapEff:\t0000000000000000\n"
            "CapBnd:\t0000000000000000\nCapAmb:\t0000000000000000\nNoNewPrivs:\t1\n");
  // Not dumpable: its /proc entries stay root's, out of its user's reach.
  struct stat entry;
  ASSERT_EQ(::stat((proc + "/mem").c_str(), &entry), 0);
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
  std::ofstream config("config.ini");
  for (int i = 0; i < 10000; ++i) {
    config << "127.0.0.1\n";
  }
  config.close();
  const platform::IcmpRelays relays = platform::StartIcmpHelper(LUMORET_ICMP_HELPER);
  ASSERT_GE(relays.v4, 0) << relays.v4_error.message();
  DelayTimeMgr engine(relays.v4, nullptr, relays.v6);  // reads config.ini here
  std::filesystem::current_path(old_dir);
  const auto answered = [&engine] {
    return std::count_if(engine.targets.begin(), engine.targets.end(),
                         [](const auto& target) { return target->reply_count > 0; });
  };
  // A target's first accounted reply is its second round's. A request or reply lost for
  // want of room shows as a timeout 5 s on; a slow machine only takes longer to answer.
  engine.Start();
  for (int i = 0; i < 1500 && answered() < 10000; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  engine.Stop();
  EXPECT_EQ(engine.send_error_count.load(), 0u);
  EXPECT_EQ(answered(), 10000);
  EXPECT_TRUE(std::none_of(engine.targets.begin(), engine.targets.end(), [](const auto& target) {
    return target->timeout_count > 0;
  })) << "a request or its reply was lost";
}

}  // namespace
