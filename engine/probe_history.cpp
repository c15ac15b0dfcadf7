#include "engine/probe_history.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

void ProbeHistory::Add(Clock::time_point sent, std::optional<std::uint32_t> delay_ms) {
  const std::uint32_t delay = delay_ms ? std::min(*delay_ms, kTimedOut - 1) : kTimedOut;
  std::lock_guard<std::mutex> lock(mutex_);
  const auto gap =
      count_ == 0 ? GapUnit::zero() : std::chrono::duration_cast<GapUnit>(sent - newest_);
  const auto kept_gap = static_cast<std::uint32_t>(
      std::clamp<std::int64_t>(gap.count(), 0, static_cast<std::int64_t>(kMaxGap)));
  // The newest time moves by the gap as kept, so the times read back add up exactly and
  // the rounding never drifts by more than one unit.
  newest_ = count_ == 0 ? sent : newest_ + GapUnit(kept_gap);
  const std::uint32_t word = delay | kept_gap << 13;
  entries_[next_] = {static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8),
                     static_cast<std::uint8_t>(word >> 16)};
  next_ = (next_ + 1) % kCapacity;
  count_ = std::min(count_ + 1, kCapacity);
}

std::vector<ProbeHistory::Probe> ProbeHistory::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Probe> probes(count_);
  Clock::time_point sent = newest_;
  // Walk back from the newest, undoing each gap.
  for (std::size_t i = 0; i < count_; ++i) {
    const std::uint32_t word = EntryWord(entries_[(next_ + kCapacity - 1 - i) % kCapacity]);
    Probe& probe = probes[count_ - 1 - i];
    probe.sent = sent;
    if ((word & kTimedOut) != kTimedOut) {
      probe.delay_ms = word & kTimedOut;
    }
    sent -= GapUnit(word >> 13);
  }
  return probes;
}

std::size_t ProbeHistory::ProbesSince(Clock::time_point after, std::vector<Probe>& out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  // Walk back from the newest until an entry is not newer than `after`.
  Clock::time_point sent = newest_;
  std::size_t newer = 0;
  for (; newer < count_ && sent > after; ++newer) {
    sent -= GapUnit(EntryWord(entries_[(next_ + kCapacity - 1 - newer) % kCapacity]) >> 13);
  }
  const std::size_t first = out.size();
  out.resize(first + newer);
  sent = newest_;
  for (std::size_t i = 0; i < newer; ++i) {
    const std::uint32_t word = EntryWord(entries_[(next_ + kCapacity - 1 - i) % kCapacity]);
    Probe& probe = out[first + newer - 1 - i];
    probe.sent = sent;
    probe.delay_ms = std::nullopt;
    if ((word & kTimedOut) != kTimedOut) {
      probe.delay_ms = word & kTimedOut;
    }
    sent -= GapUnit(word >> 13);
  }
  return newer;
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
