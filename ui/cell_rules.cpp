#include "ui/cell_rules.h"

#include "engine/user_text.h"
#include "ui/utf8_text.h"

const ColumnSpec kColumns[kColumnCount] = {
    {TR_NOOP("IP或域名"), 125}, {TR_NOOP("平均延迟"), 75}, {TR_NOOP("当前延迟"), 75},
    {TR_NOOP("最大延迟"), 75},  {TR_NOOP("最小延迟"), 75}, {TR_NOOP("丢包率"), 75},
    {TR_NOOP("ping总数"), 75},  {TR_NOOP("成功次数"), 75}, {TR_NOOP("超时次数"), 75},
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
  // Translated once: the filter and the exports ask for them row by row.
  static const std::string words[] = {Tr("正常"), Tr("丢包"), Tr("中断"), Tr("未解析"), Tr("等待")};
  switch (state) {
    case HostState::kUp:
      return words[0].c_str();
    case HostState::kLossy:
      return words[1].c_str();
    case HostState::kDown:
      return words[2].c_str();
    case HostState::kUnresolved:
      return words[3].c_str();
    case HostState::kNotYet:
      break;
  }
  return words[4].c_str();
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
