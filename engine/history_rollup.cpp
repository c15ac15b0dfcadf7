#include "engine/history_rollup.h"

#include <algorithm>
#include <cstdlib>

std::uint32_t HistoryRollup::Median(std::vector<std::uint32_t>& values) {
  const std::size_t middle = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + middle, values.end());
  if (values.size() % 2 == 1) {
    return values[middle];
  }
  // The lower middle one is the largest of those before the middle.
  const std::uint32_t lower = *std::max_element(values.begin(), values.begin() + middle);
  return (lower + values[middle] + 1) / 2;
}

DelaySummary HistoryRollup::Summarize(const std::vector<std::uint16_t>& delays) {
  DelaySummary summary;
  summary.count = static_cast<std::uint32_t>(delays.size());
  std::vector<std::uint32_t> replies;
  replies.reserve(delays.size());
  std::uint64_t jitter_sum = 0;
  for (const std::uint16_t delay : delays) {
    if (delay == kLostCode) {
      ++summary.lost;
      continue;
    }
    if (!replies.empty()) {
      jitter_sum += static_cast<std::uint32_t>(std::abs(int{delay} - int(replies.back())));
    }
    replies.push_back(delay);
  }
  if (replies.empty()) {
    return summary;
  }
  const auto [low, high] = std::minmax_element(replies.begin(), replies.end());
  summary.min_ms = *low;
  summary.max_ms = *high;
  if (replies.size() > 1) {
    const std::uint64_t pairs = replies.size() - 1;
    summary.jitter_tenths = static_cast<std::uint32_t>((jitter_sum * 10 + pairs / 2) / pairs);
  }
  summary.median_ms = Median(replies);
  return summary;
}

DelaySummary HistoryRollup::Merge(const std::vector<DelaySummary>& parts) {
  DelaySummary merged;
  if (parts.empty()) {
    return merged;
  }
  merged.start_s = parts.front().start_s;
  std::vector<std::uint32_t> medians;
  std::uint64_t weighted_jitter = 0;
  std::uint64_t pairs = 0;
  for (const DelaySummary& part : parts) {
    merged.start_s = std::min(merged.start_s, part.start_s);
    merged.count += part.count;
    merged.lost += part.lost;
    if (part.replies() == 0) {
      continue;
    }
    merged.min_ms = medians.empty() ? part.min_ms : std::min(merged.min_ms, part.min_ms);
    merged.max_ms = std::max(merged.max_ms, part.max_ms);
    medians.push_back(part.median_ms);
    weighted_jitter += std::uint64_t{part.jitter_tenths} * (part.replies() - 1);
    pairs += part.replies() - 1;
  }
  if (pairs > 0) {
    merged.jitter_tenths = static_cast<std::uint32_t>((weighted_jitter + pairs / 2) / pairs);
  }
  if (!medians.empty()) {
    merged.median_ms = Median(medians);
  }
  return merged;
}
