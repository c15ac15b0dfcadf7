#include "engine/delay_histogram.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

void DelayHistogram::Check(const Bounds& bounds) {
  if (bounds.empty()) {
    throw std::invalid_argument("no bucket bounds");
  }
  double previous = 0;
  for (const double bound : bounds) {
    if (!(bound > previous) || !std::isfinite(bound)) {
      throw std::invalid_argument("bucket bounds must be finite, above 0 and ascending");
    }
    previous = bound;
  }
}

DelayHistogram::DelayHistogram(std::shared_ptr<const Bounds> bounds) : bounds_(std::move(bounds)) {
  Check(*bounds_);
  for (const double bound : *bounds_) {
    bounds_ns_.push_back(std::llround(bound * 1e9));
  }
  counts_ = std::make_unique<std::atomic<std::uint64_t>[]>(bounds_ns_.size() + 1);
}

void DelayHistogram::Observe(std::chrono::nanoseconds delay) {
  const std::int64_t ns = std::max<std::int64_t>(delay.count(), 0);
  // The first bound at or above the delay: Prometheus' buckets hold "less or equal".
  const auto bucket = static_cast<std::size_t>(
      std::lower_bound(bounds_ns_.begin(), bounds_ns_.end(), ns) - bounds_ns_.begin());
  // One writer: a load and a store need no read-modify-write.
  auto& count = counts_[bucket];
  count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  sum_ns_.store(sum_ns_.load(std::memory_order_relaxed) + ns, std::memory_order_relaxed);
}

DelayHistogram::Reading DelayHistogram::Read() const {
  Reading reading;
  reading.cumulative.reserve(bounds_ns_.size() + 1);
  std::uint64_t total = 0;
  for (std::size_t i = 0; i <= bounds_ns_.size(); ++i) {
    total += counts_[i].load(std::memory_order_relaxed);
    reading.cumulative.push_back(total);
  }
  reading.sum_seconds = static_cast<double>(sum_ns_.load(std::memory_order_relaxed)) / 1e9;
  return reading;
}
