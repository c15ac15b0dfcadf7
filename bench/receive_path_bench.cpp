// The engine's receive path per datagram: decoding the IPv4 and ICMP headers and matching
// the reply to its target (ReceivePath::HandleDatagram, as the worker calls it), for the
// kinds of datagram a raw ICMP socket delivers. Each datagram comes with a kernel stamp,
// converted as in a real batch. Needs no socket and no rights: the targets send nowhere.
#include <benchmark/benchmark.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "engine/clock_pair.h"
#include "engine/delay_target.h"
#include "engine/state_board.h"
#include "platform/platform.h"
#include "tests/engine/offline_engine.h"

namespace {

constexpr int kTargets = 1000;
// Targets of the state board's case: the largest list the window is measured with.
constexpr int kBoardTargets = 10000;
OfflineEngine* engine = nullptr;  // the targets and their receive path

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

// Fed as part of a batch: the clocks were read once, the stamp is 50 us older.
void Feed(const std::vector<unsigned char>& d, const ClockPair& clocks) {
  engine->path.HandleDatagram(0, d.data(), d.size(), {}, clocks.wall_ns - 50000, clocks);
}

std::uint16_t IdentifierOf(int index) {
  return IdentifierForIndex(platform::GetPid(), index);
}

DelayTarget& Target(int index) {
  return *engine->targets[static_cast<std::size_t>(index)];
}

// An awaited reply: accounted in full, statistics, pause and all. Spreads over the
// targets; every target sends anew (untimed) once all have had their reply.
void EchoReplyForTarget(benchmark::State& state) {
  std::vector<std::vector<unsigned char>> replies(kTargets);
  const ClockPair clocks = ClockPair::Now();
  int i = kTargets;
  for (auto _ : state) {
    if (i == kTargets) {
      state.PauseTiming();
      for (int t = 0; t < kTargets; ++t) {
        Target(t).StartSend();
        replies[t] = Datagram(5, 0, IdentifierOf(t), Target(t).sequence_number(), t);
      }
      i = 0;
      state.ResumeTiming();
    }
    Feed(replies[i++], clocks);
  }
}

// A reply whose request was answered already, or a copy sent to a further target.
template <int kIhl>
void DuplicateReply(benchmark::State& state) {
  Target(3).StartSend();
  const auto reply = Datagram(kIhl, 0, IdentifierOf(3), Target(3).sequence_number(), 3);
  const ClockPair clocks = ClockPair::Now();
  Feed(reply, clocks);
  for (auto _ : state) {
    Feed(reply, clocks);
  }
}

// Replies of other programs: identifiers that name no target.
void ForeignReply(benchmark::State& state) {
  const auto reply = Datagram(5, 0, IdentifierOf(kTargets + 100), 7, 3);
  const ClockPair clocks = ClockPair::Now();
  for (auto _ : state) {
    Feed(reply, clocks);
  }
}

// Our identifier and sequence number, from an address that is not the target's.
void ReplyFromWrongSource(benchmark::State& state) {
  Target(3).StartSend();
  const auto reply = Datagram(5, 0, IdentifierOf(3), Target(3).sequence_number(), 4);
  const ClockPair clocks = ClockPair::Now();
  for (auto _ : state) {
    Feed(reply, clocks);
  }
}

// Other ICMP: an echo request, as the socket sees when probing the local host.
void EchoRequest(benchmark::State& state) {
  const auto request = Datagram(5, 8, IdentifierOf(3), 7, 3);
  const ClockPair clocks = ClockPair::Now();
  for (auto _ : state) {
    Feed(request, clocks);
  }
}

// Malformed: IHL 4, and an ICMP header cut to 7 bytes.
void MalformedHeaderLength(benchmark::State& state) {
  const auto d = Datagram(4, 0, IdentifierOf(3), 7, 3);
  const ClockPair clocks = ClockPair::Now();
  for (auto _ : state) {
    Feed(d, clocks);
  }
}

void CutIcmpHeader(benchmark::State& state) {
  const auto d = Datagram(5, 0, IdentifierOf(3), 7, 3, 27);
  const ClockPair clocks = ClockPair::Now();
  for (auto _ : state) {
    Feed(d, clocks);
  }
}

// The one pair of clock readings each batch of up to 64 datagrams costs.
void PartClockPair(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(ClockPair::Now());
  }
}

// Not the receive path, but the GUI thread's side of the rings: the window's StateBoard
// update, once a second, over 10,000 targets that each have one new probe (added untimed).
void StateBoardUpdate10k(benchmark::State& state) {
  OfflineEngine many;
  for (int i = 0; i < kBoardTargets; ++i) {
    many.AddTarget(Address(i));
  }
  StateBoard board(many.targets, HostStateRules());
  ProbeHistory::Clock::time_point sent = ProbeHistory::Clock::now();
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    sent += std::chrono::seconds(1);
    // One probe in seven lost: rows stay up, the window's usual case.
    const auto delay = ++round % 7 == 0 ? std::nullopt : std::optional<std::uint32_t>(5);
    for (const auto& target : many.targets) {
      target->history.Add(sent, delay);
    }
    state.ResumeTiming();
    benchmark::DoNotOptimize(board.Update(ClockPair::Now()));
  }
}

}  // namespace

BENCHMARK(EchoReplyForTarget);
BENCHMARK(DuplicateReply<5>);
BENCHMARK(DuplicateReply<15>);
BENCHMARK(ForeignReply);
BENCHMARK(ReplyFromWrongSource);
BENCHMARK(EchoRequest);
BENCHMARK(MalformedHeaderLength);
BENCHMARK(CutIcmpHeader);
BENCHMARK(PartClockPair);
BENCHMARK(StateBoardUpdate10k)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  OfflineEngine offline;
  offline.path.AddSocket(platform::IpFamily::kV4, platform::SocketKind::kRaw);
  for (int i = 0; i < kTargets; ++i) {
    offline.AddTarget(Address(i));
  }
  engine = &offline;
  benchmark::RunSpecifiedBenchmarks();
  engine = nullptr;
  benchmark::Shutdown();
  return 0;
}
