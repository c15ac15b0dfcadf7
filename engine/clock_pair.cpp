#include "engine/clock_pair.h"

ClockPair ClockPair::Now() {
  ClockPair clocks;
  clocks.steady = std::chrono::steady_clock::now();
  clocks.wall_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  return clocks;
}

std::chrono::steady_clock::time_point ArrivalTime(const std::optional<std::int64_t>& stamp_ns,
                                                  const ClockPair& clocks) {
  if (!stamp_ns || *stamp_ns > clocks.wall_ns) {
    return clocks.steady;
  }
  // However old: a process that was stopped for a while still dates what came meanwhile
  // by when it came.
  const std::chrono::nanoseconds age(clocks.wall_ns - *stamp_ns);
  return clocks.steady - std::chrono::duration_cast<std::chrono::steady_clock::duration>(age);
}
