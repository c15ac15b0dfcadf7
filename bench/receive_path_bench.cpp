// The engine's receive path per datagram: decoding the IPv4 and ICMP headers out of the
// receive buffer and matching the reply to its target (HandleDatagram), for the kinds of
// datagram a raw ICMP socket delivers.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "engine/delay_target.h"
#include "engine/delay_time_mgr.h"
#include "platform/platform.h"

namespace {

constexpr int kTargets = 1000;
DelayTimeMgr* manager = nullptr;

std::string Address(int i) {
  return "198.18." + std::to_string(10 + i / 250) + "." + std::to_string(1 + i % 250);
}

// An IPv4 datagram with an ICMP header, built by hand (IHL words of header, then 8 bytes).
std::vector<unsigned char> Datagram(int ihl, std::uint8_t type, std::uint16_t identifier,
                                    std::uint16_t sequence, int source_index,
                                    std::size_t length = 0) {
  std::vector<unsigned char> d(ihl * 4 + 8, 0);
  d[0] = static_cast<unsigned char>(0x40 | ihl);
  d[9] = 1;
  d[12] = 198;
  d[13] = 18;
  d[14] = static_cast<unsigned char>(10 + source_index / 250);
  d[15] = static_cast<unsigned char>(1 + source_index % 250);
  unsigned char* icmp = &d[ihl * 4];
  icmp[0] = type;
  icmp[4] = static_cast<unsigned char>(identifier >> 8);
  icmp[5] = static_cast<unsigned char>(identifier);
  icmp[6] = static_cast<unsigned char>(sequence >> 8);
  icmp[7] = static_cast<unsigned char>(sequence);
  if (length != 0) {
    d.resize(length);
  }
  return d;
}

void Feed(const std::vector<unsigned char>& d) {
  auto space = manager->reply_buffer.prepare(d.size());
  std::memcpy(space.data(), d.data(), d.size());
  manager->reply_buffer.commit(d.size());
  manager->HandleDatagram();
  manager->reply_buffer.consume(manager->reply_buffer.size());
}

std::uint16_t IdentifierOf(int index) {
  return IdentifierForIndex(platform::GetPid(), index);
}

// An awaited reply: accounted in full, statistics and all. Spreads over the targets.
void EchoReplyForTarget(benchmark::State& state) {
  std::vector<std::vector<unsigned char>> replies;
  for (int i = 0; i < kTargets; ++i) {
    manager->targets[i]->sequence_number = 7;
    replies.push_back(Datagram(5, 0, IdentifierOf(i), 7, i));
  }
  int i = 0;
  for (auto _ : state) {
    manager->targets[i]->request_open = true;
    Feed(replies[i]);
    i = i + 1 == kTargets ? 0 : i + 1;
  }
  benchmark::DoNotOptimize(manager->targets[0]->reply_count.load());
}

template <int kIhl>
void EchoReplyWithOptions(benchmark::State& state) {
  manager->targets[3]->sequence_number = 7;
  const auto reply = Datagram(kIhl, 0, IdentifierOf(3), 7, 3);
  for (auto _ : state) {
    manager->targets[3]->request_open = true;
    Feed(reply);
  }
}

// Replies of other programs: identifiers that name no target.
void ForeignReply(benchmark::State& state) {
  const auto reply = Datagram(5, 0, IdentifierOf(kTargets + 100), 7, 3);
  for (auto _ : state) {
    Feed(reply);
  }
}

// Our identifier and sequence number, from an address that is not the target's.
void ReplyFromWrongSource(benchmark::State& state) {
  manager->targets[3]->sequence_number = 7;
  const auto reply = Datagram(5, 0, IdentifierOf(3), 7, 4);
  for (auto _ : state) {
    Feed(reply);
  }
}

// A reply to an earlier request of the target.
void StaleReply(benchmark::State& state) {
  manager->targets[3]->sequence_number = 7;
  const auto reply = Datagram(5, 0, IdentifierOf(3), 6, 3);
  for (auto _ : state) {
    Feed(reply);
  }
}

// Other ICMP: an echo request, as the socket sees when probing the local host.
void EchoRequest(benchmark::State& state) {
  const auto request = Datagram(5, 8, IdentifierOf(3), 7, 3);
  for (auto _ : state) {
    Feed(request);
  }
}

// Malformed: IHL 4, and an ICMP header cut to 7 bytes.
void MalformedHeaderLength(benchmark::State& state) {
  const auto d = Datagram(4, 0, IdentifierOf(3), 7, 3);
  for (auto _ : state) {
    Feed(d);
  }
}

void CutIcmpHeader(benchmark::State& state) {
  const auto d = Datagram(5, 0, IdentifierOf(3), 7, 3, 27);
  for (auto _ : state) {
    Feed(d);
  }
}

// Two parts of every datagram's cost, for reading the figures above: the process id is
// read anew for each datagram (a system call), and each datagram is decoded through a
// fresh std::istream over the receive buffer.
void PartGetPid(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(platform::GetPid());
  }
}

void PartStreamOverBuffer(benchmark::State& state) {
  for (auto _ : state) {
    std::istream is(&manager->reply_buffer);
    benchmark::DoNotOptimize(is.rdstate());
  }
}

}  // namespace

BENCHMARK(EchoReplyForTarget);
BENCHMARK(EchoReplyWithOptions<15>);
BENCHMARK(ForeignReply);
BENCHMARK(ReplyFromWrongSource);
BENCHMARK(StaleReply);
BENCHMARK(EchoRequest);
BENCHMARK(MalformedHeaderLength);
BENCHMARK(CutIcmpHeader);
BENCHMARK(PartGetPid);
BENCHMARK(PartStreamOverBuffer);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // The manager reads config.ini from the working directory: give it one of its own.
  char dir[] = "/tmp/lumoret-receive-bench.XXXXXX";
  if (mkdtemp(dir) == nullptr || chdir(dir) != 0) {
    std::perror("receive_path_bench: temporary directory");
    return 1;
  }
  {
    std::ofstream config("config.ini");
    for (int i = 0; i < kTargets; ++i) {
      config << Address(i) << "\n";
    }
  }
  int status = 0;
  try {
    // Never started: nothing is sent, and the datagrams are fed straight to the decoder.
    DelayTimeMgr instance;
    manager = &instance;
    benchmark::RunSpecifiedBenchmarks();
    manager = nullptr;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "receive_path_bench: %s (raw sockets need root or CAP_NET_RAW)\n",
                 e.what());
    status = 1;
  }
  benchmark::Shutdown();
  std::filesystem::remove_all(dir);
  return status;
}
