#include "ui/sort_rules.h"

#include <algorithm>
#include <cctype>
#include <numeric>

namespace {

bool IsDigit(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// Compares runs of digits by their value and everything else by character, ignoring
// ASCII case; negative, zero or positive like strcmp.
int NaturalCompare(const std::string& a, const std::string& b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      while (i < a.size() && a[i] == '0')
        ++i;
      while (j < b.size() && b[j] == '0')
        ++j;
      std::size_t end_a = i;
      std::size_t end_b = j;
      while (end_a < a.size() && IsDigit(a[end_a]))
        ++end_a;
      while (end_b < b.size() && IsDigit(b[end_b]))
        ++end_b;
      // Without leading zeros, the longer run is the larger number.
      if (end_a - i != end_b - j) {
        return end_a - i < end_b - j ? -1 : 1;
      }
      const int digits = a.compare(i, end_a - i, b, j, end_b - j);
      if (digits != 0) {
        return digits;
      }
      i = end_a;
      j = end_b;
      continue;
    }
    const int ca = std::tolower(static_cast<unsigned char>(a[i]));
    const int cb = std::tolower(static_cast<unsigned char>(b[j]));
    if (ca != cb) {
      return ca < cb ? -1 : 1;
    }
    ++i;
    ++j;
  }
  return (i < a.size()) - (j < b.size());
}

SortKey DelayKey(std::uint32_t delay_ms) {
  if (delay_ms == DelayTarget::kNone) {
    return {SortKey::Rank::kNoValue, 0};
  }
  return {SortKey::Rank::kValue, delay_ms};
}

// Counts are shown signed, so they sort as shown.
SortKey CountKey(std::uint32_t count) {
  return {SortKey::Rank::kValue, static_cast<std::int32_t>(count)};
}

}  // namespace

SortState NextSortState(SortState current, Column clicked_column) {
  if (current.column != clicked_column) {
    return {clicked_column, false};
  }
  if (!current.descending) {
    return {clicked_column, true};
  }
  return {};
}

SortKey StatsSortKey(const TargetStats& stats, Column column) {
  switch (column) {
    case Column::kAverage:
      return DelayKey(AverageDelay(stats.total_delay_ms, stats.reply_count));
    case Column::kLast:
      return DelayKey(stats.last_delay_ms);
    case Column::kMax:
      return DelayKey(stats.max_delay_ms);
    case Column::kMin:
      return DelayKey(stats.min_delay_ms);
    case Column::kLoss:
      if (stats.timeout_count + stats.reply_count == 0) {
        return {SortKey::Rank::kNoValue, 0};
      }
      return {SortKey::Rank::kValue, LossPercent(stats.timeout_count, stats.reply_count)};
    case Column::kSent:
      return CountKey(stats.reply_count + stats.timeout_count);
    case Column::kReplies:
      return CountKey(stats.reply_count);
    case Column::kTimeouts:
      return CountKey(stats.timeout_count);
    case Column::kHost:
      break;  // sorted by HostSortKeys
  }
  return {};
}

std::vector<SortKey> HostSortKeys(const std::vector<std::string>& hosts,
                                  const std::vector<bool>& resolved) {
  std::vector<std::size_t> order(hosts.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&hosts](std::size_t a, std::size_t b) {
    return NaturalCompare(hosts[a], hosts[b]) < 0;
  });
  std::vector<SortKey> keys(hosts.size());
  std::int64_t rank = 0;
  for (std::size_t at = 0; at < order.size(); ++at) {
    // Hosts that compare equal share a value, so config.ini order breaks the tie.
    if (at > 0 && NaturalCompare(hosts[order[at - 1]], hosts[order[at]]) != 0) {
      ++rank;
    }
    const std::size_t row = order[at];
    keys[row] = {resolved[row] ? SortKey::Rank::kValue : SortKey::Rank::kUnresolved, rank};
  }
  return keys;
}

std::vector<std::size_t> SortedRows(const std::vector<SortKey>& keys, bool descending) {
  std::vector<std::size_t> rows(keys.size());
  std::iota(rows.begin(), rows.end(), 0);
  std::sort(rows.begin(), rows.end(), [&keys, descending](std::size_t a, std::size_t b) {
    const SortKey& ka = keys[a];
    const SortKey& kb = keys[b];
    if (ka.rank != kb.rank) {
      return ka.rank < kb.rank;
    }
    if (ka.rank == SortKey::Rank::kValue && ka.value != kb.value) {
      return descending ? ka.value > kb.value : ka.value < kb.value;
    }
    return a < b;
  });
  return rows;
}
