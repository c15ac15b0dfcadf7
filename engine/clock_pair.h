#ifndef LUMORET_ENGINE_CLOCK_PAIR_H
#define LUMORET_ENGINE_CLOCK_PAIR_H

#include <chrono>
#include <cstdint>
#include <optional>

// The steady and the wall clock, read back to back once per batch of datagrams: the
// kernel stamps arrivals on the wall clock, and the pair turns a stamp into steady time.
struct ClockPair {
  std::chrono::steady_clock::time_point steady;  // the steady clock's reading
  std::int64_t wall_ns = 0;                      // the wall clock's, ns since the epoch

  static ClockPair Now();
};

// A datagram's arrival on the steady clock, from the kernel's wall-clock stamp, however
// old. Never after the pair's reading: without a stamp, or with one after the reading (the
// wall clock was set back), the arrival is the reading itself.
std::chrono::steady_clock::time_point ArrivalTime(const std::optional<std::int64_t>& stamp_ns,
                                                  const ClockPair& clocks);

#endif  // LUMORET_ENGINE_CLOCK_PAIR_H
