#include "engine/probe_history.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

void ProbeHistory::Add(Clock::time_point sent, std::optional<std::uint32_t> delay_ms) {
  Entry entry;
  entry.delay_ms =
      delay_ms ? static_cast<std::uint16_t>(std::min<std::uint32_t>(*delay_ms, kTimedOut - 1))
               : kTimedOut;
  std::lock_guard<std::mutex> lock(mutex_);
  const auto gap =
      count_ == 0 ? GapUnit::zero() : std::chrono::duration_cast<GapUnit>(sent - newest_);
  entry.gap = static_cast<std::uint16_t>(std::clamp<std::int64_t>(gap.count(), 0, 0xFFFF));
  // The newest time moves by the gap as kept, so the times read back add up exactly.
  newest_ = count_ == 0 ? sent : newest_ + GapUnit(entry.gap);
  entries_[next_] = entry;
  next_ = (next_ + 1) % kCapacity;
  count_ = std::min(count_ + 1, kCapacity);
}

std::vector<ProbeHistory::Probe> ProbeHistory::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Probe> probes(count_);
  Clock::time_point sent = newest_;
  // Walk back from the newest, undoing each gap.
  for (std::size_t i = 0; i < count_; ++i) {
    const Entry& entry = entries_[(next_ + kCapacity - 1 - i) % kCapacity];
    Probe& probe = probes[count_ - 1 - i];
    probe.sent = sent;
    if (entry.delay_ms != kTimedOut) {
      probe.delay_ms = entry.delay_ms;
    }
    sent -= GapUnit(entry.gap);
  }
  return probes;
}

HistoryFigures Summarize(const std::vector<ProbeHistory::Probe>& probes) {
  HistoryFigures figures;
  double sum = 0;
  double sum_of_squares = 0;
  double jitter_sum = 0;
  std::size_t pairs = 0;
  std::optional<std::uint32_t> previous_delay;
  for (std::size_t i = 0; i < probes.size(); ++i) {
    const auto& delay = probes[i].delay_ms;
    if (i > 0 && delay.has_value() != probes[i - 1].delay_ms.has_value()) {
      ++figures.state_changes;
    }
    if (!delay) {
      ++figures.timeouts;
      continue;
    }
    ++figures.replies;
    sum += *delay;
    sum_of_squares += static_cast<double>(*delay) * *delay;
    // Consecutive replies, with any timeouts between them left out.
    if (previous_delay) {
      jitter_sum += std::abs(static_cast<double>(*delay) - *previous_delay);
      ++pairs;
    }
    previous_delay = delay;
  }
  if (pairs > 0) {
    figures.jitter_ms = jitter_sum / pairs;
  }
  if (figures.replies > 0) {
    const double mean = sum / figures.replies;
    // Population deviation: these are all the delays of the run, not a sample of them.
    figures.deviation_ms = std::sqrt(std::max(0.0, sum_of_squares / figures.replies - mean * mean));
  }
  return figures;
}
