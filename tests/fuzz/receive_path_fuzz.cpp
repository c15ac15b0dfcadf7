// Any datagram through the engine's receive path, as the socket would deliver it, against
// a few targets that have requests outstanding. Needs the right to open raw sockets, and
// runs in a private network namespace: the targets' requests go to loopback only.
//
// Input: one byte of flags (bit 0: the datagram carries a kernel stamp), four bytes of
// the stamp's age in microseconds (signed, big-endian), then the datagram. The harness
// adds the process id to the ICMP identifier, so that inputs name target indices and
// keep their meaning from run to run.
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

DelayTimeMgr* manager = nullptr;
char work_dir[] = "/tmp/lumoret-fuzz.XXXXXX";  // the manager's config.ini, removed at exit
constexpr int kResendEvery = 4096;             // inputs between two rounds of fresh requests

void SendRound() {
  for (const auto& target : manager->targets) {
    if (target->resolved) {
      target->StartSend();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  if (mkdtemp(work_dir) == nullptr || chdir(work_dir) != 0) {
    std::perror("receive_path_fuzz: temporary directory");
    std::exit(1);
  }
  std::atexit([] { std::filesystem::remove_all(work_dir); });
  std::ofstream("config.ini") << "127.0.0.1\n127.0.0.2\n127.0.0.1\nnot resolved\n";
  static std::unique_ptr<DelayTimeMgr> instance;
  try {
    instance = std::make_unique<DelayTimeMgr>();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "receive_path_fuzz: %s (needs root or CAP_NET_RAW)\n", e.what());
    std::exit(1);
  }
  manager = instance.get();
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
  const auto age_us = static_cast<std::int32_t>(static_cast<std::uint32_t>(data[1]) << 24 |
                                                static_cast<std::uint32_t>(data[2]) << 16 |
                                                static_cast<std::uint32_t>(data[3]) << 8 | data[4]);
  std::vector<unsigned char> datagram(data + 5, data + size);
  const std::size_t icmp = datagram.empty() ? 0 : (datagram[0] & 0xF) * 4u;
  if (icmp >= 20 && datagram.size() >= icmp + 6) {
    const unsigned identifier =
        (datagram[icmp + 4] << 8 | datagram[icmp + 5]) + static_cast<unsigned>(platform::GetPid());
    datagram[icmp + 4] = static_cast<unsigned char>(identifier >> 8);
    datagram[icmp + 5] = static_cast<unsigned char>(identifier);
  }
  const ClockPair clocks = ClockPair::Now();
  std::optional<std::int64_t> stamp;
  if (stamped) {
    stamp = clocks.wall_ns - std::int64_t{age_us} * 1000;
  }
  manager->HandleDatagram(datagram.data(), datagram.size(), stamp, clocks);
  return 0;
}
