#ifndef LUMORET_UI_OUTAGE_LOG_TEXTS_H
#define LUMORET_UI_OUTAGE_LOG_TEXTS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/log_entry.h"
#include "ui/cell_rules.h"

// The texts and the order of the outage log window's rows, free of any toolkit type like
// the list's cells.

// The log window's columns, in the order they are shown.
enum class LogColumn { kTime, kHost, kFrom, kTo, kOutage };
constexpr int kLogColumnCount = static_cast<int>(LogColumn::kOutage) + 1;
// Titles and widths of the log window's columns.
extern const ColumnSpec kLogColumns[kLogColumnCount];
// The texts of one row, indexed by the LogColumn.
using LogRowTexts = std::array<std::string, kLogColumnCount>;

// '2026-12-07 18:05:03': the local time of at_ms, to the second.
std::string LocalTimeText(std::int64_t at_ms);
// How long an outage lasted, to the unit that matters at its length: '12 秒',
// '3 分 12 秒', '1 小时 5 分', '2 天 3 小时'; '不到 1 秒' below a second.
std::string OutageDurationText(std::int64_t ms);
// The row of an entry: local time, host, the two states, and the outage for a recovery.
LogRowTexts LogRow(const LogEntry& entry);
// The rows as tab-separated lines under a line of the titles, as the list's copy makes.
std::string LogTabSeparated(const std::vector<LogRowTexts>& rows);
// The entries as CSV under a title line, each line ended by line_end, UTF-8 with a
// byte-order mark like the other exports: the time in ISO 8601 with its offset (as the
// history export has it), host (through NotAFormula), the two states, the outage as
// text and in seconds, for a spreadsheet to add up.
std::string LogCsvText(const std::vector<LogEntry>& entries, const char* line_end = "\r\n");

// Which column sorts the log and which way.
struct LogSort {
  LogColumn column = LogColumn::kTime;  // newest first until a title is clicked
  bool descending = true;               // largest value (latest time) first

  bool operator==(const LogSort& other) const {
    return column == other.column && descending == other.descending;
  }
  bool operator!=(const LogSort& other) const { return !(*this == other); }
};
// A click on a title: the same column the other way, another ascending (the time
// newest first).
LogSort NextLogSort(LogSort current, LogColumn clicked);
// Positions in entries (newest first, as the store reads them) in the order sort puts
// them: hosts in natural order, states in the order of HostState, recoveries by their
// outage with the other rows after them; equal ones newest first.
std::vector<std::size_t> SortedLog(const std::vector<LogEntry>& entries, LogSort sort);

#endif  // LUMORET_UI_OUTAGE_LOG_TEXTS_H
