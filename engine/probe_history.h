#ifndef LUMORET_ENGINE_PROBE_HISTORY_H
#define LUMORET_ENGINE_PROBE_HISTORY_H

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

// The outcomes of a target's latest probes: when each request left, and its delay or
// that it timed out. Enough for the last 10 minutes at the fastest pace (a reply at once,
// then the 1-second pause), in storage taken once: adding allocates nothing.
//
// Each entry keeps its time as the gap to the probe before it, so that an entry takes
// 3 bytes and a target's 600 of them fit in 1.8 KiB. The worker adds, the GUI thread
// takes copies; a lock per target keeps both apart, and is almost never contended.
class ProbeHistory {
 public:
  using Clock = std::chrono::steady_clock;
  // Ten minutes of one probe a second.
  static constexpr std::size_t kCapacity = 600;

  // One probe as the history keeps it.
  struct Probe {
    Clock::time_point sent;                 // when the request left, to 10 ms
    std::optional<std::uint32_t> delay_ms;  // empty: it timed out
  };

  ProbeHistory() = default;
  ProbeHistory(const ProbeHistory&) = delete;
  ProbeHistory& operator=(const ProbeHistory&) = delete;

  // Records a probe, dropping the oldest once full. Probes come in the order they left.
  void Add(Clock::time_point sent, std::optional<std::uint32_t> delay_ms);
  // Every probe kept, oldest first. Safe from any thread.
  std::vector<Probe> Snapshot() const;
  // Appends to out, oldest first, the probes kept that left after `after`; the number
  // appended. Decodes only those, under the same lock: the history store's writer calls
  // it for every target every few seconds.
  std::size_t ProbesSince(Clock::time_point after, std::vector<Probe>& out) const;

 private:
  // Delay value of a timed-out probe; longer delays are kept as one less. 13 bits hold
  // every delay a 5-second wait lets through.
  static constexpr std::uint32_t kTimedOut = (1u << 13) - 1;
  // The longest gap kept, in GapUnits (11 bits: about 20 s); longer ones are cut to it.
  static constexpr std::uint32_t kMaxGap = (1u << 11) - 1;
  // Unit of the gaps between probes.
  using GapUnit = std::chrono::duration<std::int64_t, std::ratio<1, 100>>;

  // One probe in 3 bytes, so that 10,000 targets' rings take 18 MB, not 24: the delay in
  // the low 13 bits (or kTimedOut), the gap since the probe before in the high 11.
  using Entry = std::array<std::uint8_t, 3>;
  // The 24-bit word an entry holds.
  static std::uint32_t EntryWord(const Entry& entry) {
    return entry[0] | entry[1] << 8 | std::uint32_t{entry[2]} << 16;
  }

  mutable std::mutex mutex_;                // the worker adds, the GUI copies
  std::array<Entry, kCapacity> entries_{};  // ring, oldest overwritten first
  std::size_t next_ = 0;                    // where the next probe goes
  std::size_t count_ = 0;                   // probes kept, at most kCapacity
  Clock::time_point newest_;                // when the newest probe left
};

// Figures of a run of probes, oldest first, as the host details show them.
struct HistoryFigures {
  std::size_t replies = 0;             // probes answered
  std::size_t timeouts = 0;            // probes that timed out
  std::optional<double> jitter_ms;     // mean absolute difference of consecutive delays
  std::optional<double> deviation_ms;  // standard deviation of the delays
  std::size_t state_changes = 0;       // answered after a timeout, or the reverse
};
HistoryFigures Summarize(const std::vector<ProbeHistory::Probe>& probes);

#endif  // LUMORET_ENGINE_PROBE_HISTORY_H
