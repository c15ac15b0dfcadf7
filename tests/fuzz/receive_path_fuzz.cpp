// Any datagram through the engine's receive path, as a raw or a datagram socket would
// deliver it, against a few targets that have requests outstanding. Needs the right to
// open raw sockets, and runs in a private network namespace: the targets' requests go to
// loopback only, and the namespace's ping_group_range may be opened for datagram sockets.
//
// Input: one byte of flags (bit 0: the datagram carries a kernel stamp; bit 1: it came
// through a datagram socket; bit 2, raw: through the ICMPv6 socket, from ::1), four bytes
// of the stamp's age in microseconds (signed, big-endian), for a datagram socket one byte
// naming it (bits 0-2) and the sender (bits 3-4: 127.0.0.1, 127.0.0.2, ::1, ::2), then
// the datagram. For a raw socket the harness adds the process id to the ICMP identifier,
// so that inputs name target indices and keep their meaning from run to run.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "engine/delay_time_mgr.h"
#include "platform/platform.h"

namespace {

DelayTimeMgr* manager = nullptr;               // on a raw socket
DelayTimeMgr* datagram_manager = nullptr;      // on datagram sockets; none where not allowed
char work_dir[] = "/tmp/lumoret-fuzz.XXXXXX";  // the manager's config.ini, removed at exit
constexpr int kResendEvery = 4096;             // inputs between two rounds of fresh requests

void SendRound() {
  for (DelayTimeMgr* m : {manager, datagram_manager}) {
    for (std::size_t i = 0; m != nullptr && i < m->targets.size(); ++i) {
      if (m->targets[i]->resolved) {
        m->targets[i]->StartSend();
      }
    }
  }
}

// Opens the namespace's ping_group_range to every group and builds the engine on an
// ICMP datagram socket; nullptr where that cannot be done.
std::unique_ptr<DelayTimeMgr> MakeDatagramManager() {
  try {
    std::ofstream("/proc/sys/net/ipv4/ping_group_range") << "0 2147483647\n";
    return std::make_unique<DelayTimeMgr>(platform::OpenDatagramIcmpSocket());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "receive_path_fuzz: no datagram sockets: %s\n", e.what());
    return nullptr;
  }
}

// Hands datagram to the engine on a datagram socket as selected by the byte naming it.
void FeedDatagramSocket(unsigned char origin, const std::vector<unsigned char>& datagram,
                        const std::optional<std::int64_t>& stamp, const ClockPair& clocks) {
  if (datagram_manager != nullptr) {
    static const platform::AddressBytes sources[] = {
        AddressBytesOf(boost::asio::ip::make_address("127.0.0.1")),
        AddressBytesOf(boost::asio::ip::make_address("127.0.0.2")),
        AddressBytesOf(boost::asio::ip::make_address("::1")),
        AddressBytesOf(boost::asio::ip::make_address("::2"))};
    datagram_manager->HandleDatagram(origin & 7u, datagram.data(), datagram.size(),
                                     sources[(origin >> 3) & 3u], stamp, clocks);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  if (mkdtemp(work_dir) == nullptr || chdir(work_dir) != 0) {
    std::perror("receive_path_fuzz: temporary directory");
    std::exit(1);
  }
  std::atexit([] { std::filesystem::remove_all(work_dir); });
  std::ofstream("config.ini") << "127.0.0.1\n127.0.0.2\n127.0.0.1\nnot resolved\n::1\n::1\n";
  static std::unique_ptr<DelayTimeMgr> instance;
  try {
    instance = std::make_unique<DelayTimeMgr>();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "receive_path_fuzz: %s (needs root or CAP_NET_RAW)\n", e.what());
    std::exit(1);
  }
  manager = instance.get();
  static std::unique_ptr<DelayTimeMgr> datagram_instance = MakeDatagramManager();
  datagram_manager = datagram_instance.get();
  SendRound();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static int inputs = 0;
  if (++inputs % kResendEvery == 0) {
    SendRound();
  }
  if (size < 5) {
    return 0;
  }
  const bool stamped = (data[0] & 1) != 0;
  const bool through_datagram_socket = (data[0] & 2) != 0;
  const auto age_us = static_cast<std::int32_t>(static_cast<std::uint32_t>(data[1]) << 24 |
                                                static_cast<std::uint32_t>(data[2]) << 16 |
                                                static_cast<std::uint32_t>(data[3]) << 8 | data[4]);
  const ClockPair clocks = ClockPair::Now();
  std::optional<std::int64_t> stamp;
  if (stamped) {
    stamp = clocks.wall_ns - std::int64_t{age_us} * 1000;
  }
  if (through_datagram_socket) {
    if (size > 5) {
      FeedDatagramSocket(data[5], std::vector<unsigned char>(data + 6, data + size), stamp, clocks);
    }
    return 0;
  }
  const bool v6 = (data[0] & 4) != 0;
  std::vector<unsigned char> datagram(data + 5, data + size);
  // An ICMPv6 socket delivers no IP header.
  const std::size_t icmp = v6 ? 0 : datagram.empty() ? 0 : (datagram[0] & 0xF) * 4u;
  if ((v6 || icmp >= 20) && datagram.size() >= icmp + 6) {
    const unsigned identifier =
        (datagram[icmp + 4] << 8 | datagram[icmp + 5]) + static_cast<unsigned>(platform::GetPid());
    datagram[icmp + 4] = static_cast<unsigned char>(identifier >> 8);
    datagram[icmp + 5] = static_cast<unsigned char>(identifier);
  }
  static const platform::AddressBytes loopback6 =
      AddressBytesOf(boost::asio::ip::make_address("::1"));
  manager->HandleDatagram(v6 ? 1 : 0, datagram.data(), datagram.size(),
                          v6 ? loopback6 : platform::AddressBytes{}, stamp, clocks);
  return 0;
}
