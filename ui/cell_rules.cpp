#include "ui/cell_rules.h"

#include "ui/utf8_text.h"

namespace {
constexpr std::uint32_t kNone = 0xFFFFFFFF;
}  // namespace

std::string DelayCell(std::uint32_t delay_ms) {
  if (delay_ms == kNone) {
    return "- ms";
  }
  return std::to_string(delay_ms) + " ms";
}

std::string AverageCell(std::uint64_t total_delay_ms, std::uint32_t reply_count) {
  if (reply_count == 0) {
    return DelayCell(kNone);
  }
  // Only the low 32 bits of the mean are shown, as for any other delay.
  return DelayCell(static_cast<std::uint32_t>(total_delay_ms / reply_count));
}

std::string LossCell(std::uint32_t timeout_count, std::uint32_t reply_count) {
  const std::uint32_t probes = timeout_count + reply_count;  // wraps like the counters
  if (probes == 0) {
    return "-%";
  }
  // Integer arithmetic: through doubles, 29 of 100 would come out as 28%.
  const std::uint64_t percent = std::uint64_t{timeout_count} * 100 / probes;
  return std::to_string(static_cast<std::uint32_t>(percent)) + "%";
}

std::string CountCell(std::uint32_t count) {
  return std::to_string(static_cast<std::int32_t>(count));
}

RowTexts ResolvedRow(const std::string& host, const TargetStats& stats) {
  return {ValidUtf8(host),
          AverageCell(stats.total_delay_ms, stats.reply_count),
          DelayCell(stats.last_delay_ms),
          DelayCell(stats.max_delay_ms),
          DelayCell(stats.min_delay_ms),
          LossCell(stats.timeout_count, stats.reply_count),
          CountCell(stats.reply_count + stats.timeout_count),
          CountCell(stats.reply_count),
          CountCell(stats.timeout_count)};
}

RowTexts UnresolvedRow(const std::string& host) {
  RowTexts row;
  row.fill("*");
  row[0] = "*" + ValidUtf8(host);
  return row;
}
