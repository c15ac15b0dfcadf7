#ifndef LUMORET_UI_CELL_RULES_H
#define LUMORET_UI_CELL_RULES_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// The texts of the list's cells, free of any toolkit type so they can be checked on
// their own. The initial fill and every refresh go through these.

// The none value of a delay: no value yet.
constexpr std::uint32_t kNoDelay = 0xFFFFFFFF;

// One snapshot of a target's statistics, each field read whole.
struct TargetStats {
  std::uint64_t total_delay_ms = 0;
  std::uint32_t reply_count = 0;
  std::uint32_t timeout_count = 0;
  std::uint32_t max_delay_ms = kNoDelay;
  std::uint32_t min_delay_ms = kNoDelay;
  std::uint32_t last_delay_ms = kNoDelay;
};

constexpr int kColumnCount = 9;
using RowTexts = std::array<std::string, kColumnCount>;

// One column of the list.
struct ColumnSpec {
  const char* title;  // UTF-8
  int width;          // in pixels
};
extern const ColumnSpec kColumns[kColumnCount];

// The low 32 bits of the truncated mean, as a delay cell shows them; kNoDelay without
// replies.
std::uint32_t AverageDelay(std::uint64_t total_delay_ms, std::uint32_t reply_count);
// The truncated exact percentage of probes that timed out; 0 without probes.
std::uint32_t LossPercent(std::uint32_t timeout_count, std::uint32_t reply_count);

// '37 ms', or '- ms' for the none value 0xFFFFFFFF.
std::string DelayCell(std::uint32_t delay_ms);
// The truncated mean as a delay cell; '- ms' without replies.
std::string AverageCell(std::uint64_t total_delay_ms, std::uint32_t reply_count);
// The truncated exact percentage of probes that timed out; '-%' without probes.
std::string LossCell(std::uint32_t timeout_count, std::uint32_t reply_count);
// A 32-bit count as the list has always shown it: printed as signed.
std::string CountCell(std::uint32_t count);

// Columns 0 to 8 of a resolved target's row. Host texts that are not valid UTF-8 are
// shown with U+FFFD in place of the stray bytes.
RowTexts ResolvedRow(const std::string& host, const TargetStats& stats);
// "*host" and "*" in every other column.
RowTexts UnresolvedRow(const std::string& host);

// The rows as tab-separated lines under a line of the column titles, as spreadsheets
// take them from the clipboard.
std::string TabSeparated(const std::vector<RowTexts>& rows);

#endif  // LUMORET_UI_CELL_RULES_H
