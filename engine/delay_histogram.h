#ifndef LUMORET_ENGINE_DELAY_HISTOGRAM_H
#define LUMORET_ENGINE_DELAY_HISTOGRAM_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

// A target's accounted reply delays, counted by upper bound for a Prometheus histogram,
// to the nanosecond of the kernel's stamps. The worker thread adds; a scrape reads from
// another thread without a lock, so the figures never wait for each other.
class DelayHistogram {
 public:
  // Upper bounds in seconds, ascending, each above zero; shared by every target.
  using Bounds = std::vector<double>;
  // What a reader sees.
  struct Reading {
    // Delays up to each bound (cumulative, as Prometheus counts), then the count of all.
    std::vector<std::uint64_t> cumulative;
    double sum_seconds = 0;  // sum of the delays counted (may trail the counts by one)
  };

  // Throws std::invalid_argument for bounds that are empty, not ascending or not above 0.
  explicit DelayHistogram(std::shared_ptr<const Bounds> bounds);
  DelayHistogram(const DelayHistogram&) = delete;
  DelayHistogram& operator=(const DelayHistogram&) = delete;

  // Worker thread: counts one delay.
  void Observe(std::chrono::nanoseconds delay);
  // Any thread: the counts so far.
  Reading Read() const;
  // The bounds given.
  const Bounds& bounds() const { return *bounds_; }
  // Checks bounds as the constructor does, for a caller that wants the message first.
  static void Check(const Bounds& bounds);

 private:
  std::shared_ptr<const Bounds> bounds_;                  // upper bounds in seconds
  std::vector<std::int64_t> bounds_ns_;                   // the same to the nearest nanosecond
  std::unique_ptr<std::atomic<std::uint64_t>[]> counts_;  // per bound and one past the last
  std::atomic<std::int64_t> sum_ns_{0};                   // sum of the delays counted
};

#endif  // LUMORET_ENGINE_DELAY_HISTOGRAM_H
