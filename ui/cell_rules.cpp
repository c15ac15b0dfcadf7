#include "ui/cell_rules.h"

#include "ui/utf8_text.h"

const ColumnSpec kColumns[kColumnCount] = {
    {"IP或域名", 125}, {"平均延迟", 75}, {"当前延迟", 75}, {"最大延迟", 75}, {"最小延迟", 75},
    {"丢包率", 75},    {"ping总数", 75}, {"成功次数", 75}, {"超时次数", 75},
};

std::uint32_t AverageDelay(std::uint64_t total_delay_ms, std::uint32_t reply_count) {
  if (reply_count == 0) {
    return DelayTarget::kNone;
  }
  // Only the low 32 bits of the mean are shown, as for any other delay.
  return static_cast<std::uint32_t>(total_delay_ms / reply_count);
}

std::uint32_t LossPercent(std::uint32_t timeout_count, std::uint32_t reply_count) {
  const std::uint32_t probes = timeout_count + reply_count;  // wraps like the counters
  if (probes == 0) {
    return 0;  // shown as "-" instead
  }
  // Integer arithmetic: through doubles, 29 of 100 would come out as 28%.
  return static_cast<std::uint32_t>(std::uint64_t{timeout_count} * 100 / probes);
}

std::string DelayCell(std::uint32_t delay_ms) {
  if (delay_ms == DelayTarget::kNone) {
    return "- ms";
  }
  return std::to_string(delay_ms) + " ms";
}

std::string AverageCell(std::uint64_t total_delay_ms, std::uint32_t reply_count) {
  return DelayCell(AverageDelay(total_delay_ms, reply_count));
}

std::string LossCell(std::uint32_t timeout_count, std::uint32_t reply_count) {
  if (timeout_count + reply_count == 0) {
    return "-%";
  }
  return std::to_string(LossPercent(timeout_count, reply_count)) + "%";
}

std::string CountCell(std::uint32_t count) {
  return std::to_string(static_cast<std::int32_t>(count));
}

const char* StateText(HostState state) {
  switch (state) {
    case HostState::kUp:
      return "正常";
    case HostState::kLossy:
      return "丢包";
    case HostState::kDown:
      return "中断";
    case HostState::kUnresolved:
      return "未解析";
    case HostState::kNotYet:
      break;
  }
  return "等待";
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
  row[ColumnIndex(Column::kHost)] = "*" + ValidUtf8(host);
  return row;
}

RowTexts PendingRow(const std::string& host) {
  RowTexts row;
  row.fill(kPendingCell);
  row[ColumnIndex(Column::kHost)] = ValidUtf8(host);
  return row;
}

std::string TabSeparated(const std::vector<RowTexts>& rows) {
  std::string text;
  const auto append_line = [&text](const RowTexts& cells) {
    for (int column = 0; column < kColumnCount; ++column) {
      text += cells[column];
      text += column + 1 < kColumnCount ? '\t' : '\n';
    }
  };
  RowTexts titles;
  for (int column = 0; column < kColumnCount; ++column) {
    titles[column] = kColumns[column].title;
  }
  append_line(titles);
  for (const RowTexts& row : rows) {
    append_line(row);
  }
  return text;
}
