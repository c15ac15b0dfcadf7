#include "ui/detail_texts.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "engine/csv_field.h"
#include "engine/user_text.h"
#include "ui/range_marks.h"

const char* const kDetailTitles[kDetailCount] = {
    TR_NOOP("探测地址"), TR_NOOP("抖动"),         TR_NOOP("标准差"), TR_NOOP("重复回复"),
    TR_NOOP("迟到回复"), TR_NOOP("最近回复时间"), TR_NOOP("状态"),
};

std::string MillisText(std::optional<double> ms) {
  if (!ms) {
    return "-";
  }
  char text[64];
  std::snprintf(text, sizeof text, "%.1f ms", *ms);
  return text;
}

std::string DurationText(std::int64_t seconds) {
  if (seconds < 0) {
    seconds = 0;  // the two clocks were read a moment apart
  }
  const std::string s = std::to_string(seconds % 60);
  if (seconds >= 3600) {
    return Fill(Tr("%s 小时 %s 分 %s 秒"),
                {std::to_string(seconds / 3600), std::to_string(seconds / 60 % 60), s});
  }
  if (seconds >= 60) {
    return Fill(Tr("%s 分 %s 秒"), {std::to_string(seconds / 60), s});
  }
  return Fill(Tr("%s 秒"), {s});
}

std::string StateText(bool up, const std::string& since_clock, std::int64_t lasted_seconds) {
  return Fill(up ? Tr("正常 自 %s，持续 %s") : Tr("中断 自 %s，持续 %s"),
              {since_clock, DurationText(lasted_seconds)});
}

std::string AddressText(const std::string& address, std::int64_t changed_ms,
                        const std::string& previous) {
  if (changed_ms == 0) {
    return address;
  }
  const std::tm local = LocalTime(static_cast<std::time_t>(changed_ms / 1000));
  char since[32];
  std::strftime(since, sizeof since, "%m-%d %H:%M:%S", &local);
  return Fill(Tr("%s（%s 起，此前 %s）"), {address, since, previous});
}

std::string NotAFormula(const std::string& text) {
  if (!text.empty() && std::strchr("=+-@\t\r", text[0]) != nullptr) {
    return "'" + text;
  }
  return text;
}

std::string CsvText(const std::vector<ExportRow>& rows, const char* line_end) {
  std::string text = "\xEF\xBB\xBF";
  const auto append_line = [&text, line_end](const RowTexts& cells, const DetailTexts& details) {
    for (const std::string& cell : cells) {
      text += CsvField(cell) + ',';
    }
    for (int field = 0; field < kDetailCount; ++field) {
      text += CsvField(details[field]);
      text += field + 1 < kDetailCount ? "," : line_end;
    }
  };
  RowTexts titles;
  for (int column = 0; column < kColumnCount; ++column) {
    titles[column] = Tr(kColumns[column].title);
  }
  DetailTexts detail_titles;
  for (int field = 0; field < kDetailCount; ++field) {
    detail_titles[field] = Tr(kDetailTitles[field]);
  }
  append_line(titles, detail_titles);
  for (const ExportRow& row : rows) {
    RowTexts cells = row.cells;
    std::string& host = cells[ColumnIndex(Column::kHost)];
    host = NotAFormula(host);
    append_line(cells, row.details);
  }
  return text;
}
