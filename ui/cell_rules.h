#ifndef LUMORET_UI_CELL_RULES_H
#define LUMORET_UI_CELL_RULES_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/delay_target.h"
#include "engine/host_state.h"

// The texts of the list's cells, free of any toolkit type so they can be checked on
// their own. The initial fill and every refresh go through these.

// One snapshot of a target's statistics, each field read whole.
struct TargetStats {
  std::uint64_t total_delay_ms = 0;                  // sum of the accounted delays
  std::uint32_t reply_count = 0;                     // replies accounted
  std::uint32_t timeout_count = 0;                   // waits that ran out
  std::uint32_t max_delay_ms = DelayTarget::kNone;   // largest accounted delay
  std::uint32_t min_delay_ms = DelayTarget::kNone;   // smallest accounted delay
  std::uint32_t last_delay_ms = DelayTarget::kNone;  // latest delay; none after a timeout
};

// The list's columns, in the order they are shown.
enum class Column { kHost, kAverage, kLast, kMax, kMin, kLoss, kSent, kReplies, kTimeouts };

// A column's position in the list and in a row's texts.
constexpr int ColumnIndex(Column column) {
  return static_cast<int>(column);
}
constexpr int kColumnCount = ColumnIndex(Column::kTimeouts) + 1;

// The texts of one row, indexed by ColumnIndex.
using RowTexts = std::array<std::string, kColumnCount>;

// One column of the list.
struct ColumnSpec {
  const char* title;  // UTF-8
  int width;          // in pixels
};
extern const ColumnSpec kColumns[kColumnCount];

// The low 32 bits of the truncated mean, as a delay cell shows them; DelayTarget::kNone
// without replies.
std::uint32_t AverageDelay(std::uint64_t total_delay_ms, std::uint32_t reply_count);
// The truncated exact percentage of probes that timed out; 0 without probes.
std::uint32_t LossPercent(std::uint32_t timeout_count, std::uint32_t reply_count);

// '37 ms', or '- ms' for DelayTarget::kNone.
std::string DelayCell(std::uint32_t delay_ms);
// The truncated mean as a delay cell; '- ms' without replies.
std::string AverageCell(std::uint64_t total_delay_ms, std::uint32_t reply_count);
// The truncated exact percentage of probes that timed out; '-%' without probes.
std::string LossCell(std::uint32_t timeout_count, std::uint32_t reply_count);
// A 32-bit count as the list has always shown it: printed as signed.
std::string CountCell(std::uint32_t count);
// A state as the window names it: "正常", "丢包", "中断", "未解析", "等待".
const char* StateText(HostState state);

// Every column of a resolved target's row. Host texts that are not valid UTF-8 are
// shown with U+FFFD in place of the stray bytes.
RowTexts ResolvedRow(const std::string& host, const TargetStats& stats);
// "*host" and "*" in every other column.
RowTexts UnresolvedRow(const std::string& host);
// What a statistics cell shows while the host's name is still being looked up.
constexpr char kPendingCell[] = "…";
// The host as written and kPendingCell in every other column.
RowTexts PendingRow(const std::string& host);

// The rows as tab-separated lines under a line of the column titles, as spreadsheets
// take them from the clipboard.
std::string TabSeparated(const std::vector<RowTexts>& rows);

#endif  // LUMORET_UI_CELL_RULES_H
