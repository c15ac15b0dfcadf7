#ifndef LUMORET_UI_DETAIL_TEXTS_H
#define LUMORET_UI_DETAIL_TEXTS_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ui/cell_rules.h"

// The texts of a host's figures beyond its row, for the details window and the export,
// free of any toolkit type like the cell texts.

// The extra figures, in the order the details window and the export list them.
enum class DetailField { kAddress, kJitter, kDeviation, kDuplicates, kLate, kLatestReply, kState };

// A figure's position in DetailTexts and kDetailTitles.
constexpr int DetailIndex(DetailField field) {
  return static_cast<int>(field);
}
constexpr int kDetailCount = DetailIndex(DetailField::kState) + 1;

// The texts of the extra figures, indexed by DetailIndex.
using DetailTexts = std::array<std::string, kDetailCount>;
// Titles of the extra figures, UTF-8.
extern const char* const kDetailTitles[kDetailCount];

// '1.3 ms', or '-' when there is no value.
std::string MillisText(std::optional<double> ms);
// '4 分 10 秒', with hours in front from one hour on.
std::string DurationText(std::int64_t seconds);
// '正常 自 12:03:14，持续 4 分 10 秒', or '中断 …' for a host that is down; since_clock is the
// wall-clock time the state began.
std::string StateText(bool up, const std::string& since_clock, std::int64_t lasted_seconds);

// The address probed, and when a later look-up moved the host there (changed_ms, ms
// since the Unix epoch; 0: never) the local time and the address before it:
// "203.0.113.5（12-08 10:31:05 起，此前 198.51.100.7）".
std::string AddressText(const std::string& address, std::int64_t changed_ms,
                        const std::string& previous);

// One row of the export: the nine cells as shown, then the extra figures.
struct ExportRow {
  RowTexts cells;       // every column, as the list shows it
  DetailTexts details;  // the extra figures
};
// A host text that a spreadsheet would run as a formula (it starts with =, +, -, @, a
// tab or a carriage return) behind an apostrophe, which spreadsheets take as "text".
std::string NotAFormula(const std::string& text);
// The rows as CSV under a title line, each line ended by line_end: UTF-8 with a
// byte-order mark, so that spreadsheets read the Chinese titles right. The host column
// goes through NotAFormula: config.ini is anyone's text.
std::string CsvText(const std::vector<ExportRow>& rows, const char* line_end = "\r\n");

#endif  // LUMORET_UI_DETAIL_TEXTS_H
