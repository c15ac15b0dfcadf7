#ifndef LUMORET_ENGINE_HISTORY_ROLLUP_H
#define LUMORET_ENGINE_HISTORY_ROLLUP_H

#include <cstdint>
#include <vector>

// What the history keeps of a period (a minute, an hour, or a graph's bucket) of one
// host's probes: enough to draw its min-max band, its median and its loss, and to tell
// its jitter.
struct DelaySummary {
  std::int64_t start_s = 0;         // the period's start, seconds since the Unix epoch (UTC)
  std::uint32_t count = 0;          // probes that left in the period
  std::uint32_t lost = 0;           // of them, those that timed out
  std::uint32_t min_ms = 0;         // smallest delay; 0 without replies
  std::uint32_t median_ms = 0;      // middle delay; 0 without replies
  std::uint32_t max_ms = 0;         // largest delay; 0 without replies
  std::uint32_t jitter_tenths = 0;  // mean |difference| of consecutive replies, in 0.1 ms

  std::uint32_t replies() const { return count - lost; }
};

// How a timed-out probe's delay is written where delays are 14-bit codes; longer delays
// are kept as one less (the engine keeps none past 8,190 ms).
constexpr std::uint16_t kLostCode = (1u << 14) - 1;

// The roll-up rules, pure so that they can be checked by hand.
class HistoryRollup {
 public:
  // A period's probes, oldest first, each a delay in ms or kLostCode. The median of an
  // even number of replies is the mean of the two middle ones, halves rounded up. Jitter
  // pairs each reply with the reply before it in the period, timeouts left out.
  static DelaySummary Summarize(const std::vector<std::uint16_t>& delays);
  // Summaries of consecutive periods as one: counts add up, the band spans them all, the
  // median is the median of their medians (by the same rule), jitter is their mean
  // weighted by each one's pairs of replies (replies - 1). start_s is the earliest.
  static DelaySummary Merge(const std::vector<DelaySummary>& parts);

 private:
  // The median of values, reordered in place; values is not empty.
  static std::uint32_t Median(std::vector<std::uint32_t>& values);
};

#endif  // LUMORET_ENGINE_HISTORY_ROLLUP_H
