#include "ui/outage_log_texts.h"

#include <algorithm>
#include <ctime>
#include <numeric>
#include <unordered_map>

#include "engine/csv_field.h"
#include "engine/user_text.h"
#include "ui/detail_texts.h"
#include "ui/range_marks.h"
#include "ui/sort_rules.h"
#include "ui/utf8_text.h"

namespace {

constexpr std::int64_t kMsPerS = 1000;
constexpr std::int64_t kMinuteS = 60;
constexpr std::int64_t kHourS = 60 * kMinuteS;
constexpr std::int64_t kDayS = 24 * kHourS;

// Floor division, for times before the epoch as well.
std::int64_t FloorDiv(std::int64_t value, std::int64_t divisor) {
  return value / divisor - (value % divisor < 0 ? 1 : 0);
}

// Two units of a duration, the larger one first: '3 分 12 秒' from "%s 分 %s 秒".
std::string TwoUnits(const char* format, std::int64_t big, std::int64_t small) {
  return Fill(Tr(format), {std::to_string(big), std::to_string(small)});
}

// Where each entry goes under a column other than the time: a rank first (rows without
// a value after the others, in both directions), then the value.
struct LogKey {
  int rank = 0;            // 0 with a value, 1 without
  std::int64_t value = 0;  // compared within rank 0
};

std::vector<LogKey> HostKeys(const std::vector<LogEntry>& entries) {
  // Each host ranked once: the log repeats a few thousand hosts many times.
  std::unordered_map<std::string, std::size_t> index;
  std::vector<std::string> hosts;
  for (const LogEntry& entry : entries) {
    if (index.emplace(entry.host, hosts.size()).second) {
      hosts.push_back(entry.host);
    }
  }
  const std::vector<SortKey> ranks = HostSortKeys(hosts, std::vector<bool>(hosts.size(), true));
  std::vector<LogKey> keys;
  keys.reserve(entries.size());
  for (const LogEntry& entry : entries) {
    keys.push_back({0, ranks[index[entry.host]].value});
  }
  return keys;
}

std::vector<LogKey> KeysOf(const std::vector<LogEntry>& entries, LogColumn column) {
  if (column == LogColumn::kHost) {
    return HostKeys(entries);
  }
  std::vector<LogKey> keys;
  keys.reserve(entries.size());
  for (const LogEntry& entry : entries) {
    switch (column) {
      case LogColumn::kFrom:
        keys.push_back({0, static_cast<std::int64_t>(entry.from)});
        break;
      case LogColumn::kTo:
        keys.push_back({0, static_cast<std::int64_t>(entry.to)});
        break;
      default:
        keys.push_back(entry.outage_ms ? LogKey{0, *entry.outage_ms} : LogKey{1, 0});
        break;
    }
  }
  return keys;
}

}  // namespace

const ColumnSpec kLogColumns[kLogColumnCount] = {
    {TR_NOOP("时间"), 150},  {TR_NOOP("主机"), 160},     {TR_NOOP("原状态"), 70},
    {TR_NOOP("新状态"), 70}, {TR_NOOP("中断时长"), 110},
};

std::string LocalTimeText(std::int64_t at_ms) {
  const std::tm local = LocalTime(static_cast<std::time_t>(FloorDiv(at_ms, kMsPerS)));
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string OutageDurationText(std::int64_t ms) {
  const std::int64_t s = std::max<std::int64_t>(0, ms) / kMsPerS;
  if (s == 0) {
    return Tr("不到 1 秒");
  }
  if (s < kMinuteS) {
    return Fill(Tr("%s 秒"), {std::to_string(s)});
  }
  if (s < kHourS) {
    return TwoUnits(TR_NOOP("%s 分 %s 秒"), s / kMinuteS, s % kMinuteS);
  }
  if (s < kDayS) {
    return TwoUnits(TR_NOOP("%s 小时 %s 分"), s / kHourS, s % kHourS / kMinuteS);
  }
  return TwoUnits(TR_NOOP("%s 天 %s 小时"), s / kDayS, s % kDayS / kHourS);
}

LogRowTexts LogRow(const LogEntry& entry) {
  return {LocalTimeText(entry.at_ms), ValidUtf8(entry.host), StateText(entry.from),
          StateText(entry.to), entry.outage_ms ? OutageDurationText(*entry.outage_ms) : ""};
}

std::string LogTabSeparated(const std::vector<LogRowTexts>& rows) {
  std::string text;
  const auto append_line = [&text](const LogRowTexts& cells) {
    for (int column = 0; column < kLogColumnCount; ++column) {
      text += cells[column];
      text += column + 1 < kLogColumnCount ? '\t' : '\n';
    }
  };
  LogRowTexts titles;
  for (int column = 0; column < kLogColumnCount; ++column) {
    titles[column] = Tr(kLogColumns[column].title);
  }
  append_line(titles);
  for (const LogRowTexts& row : rows) {
    append_line(row);
  }
  return text;
}

std::string LogCsvText(const std::vector<LogEntry>& entries, const char* line_end) {
  std::string text = "\xEF\xBB\xBF";
  // TRANSLATORS: the CSV file's titles: keep the six, in this order, with the commas.
  text += Tr("时间,主机,原状态,新状态,中断时长,中断时长 (秒)");
  text += line_end;
  for (const LogEntry& entry : entries) {
    std::string outage;
    std::string seconds;
    if (entry.outage_ms) {
      const std::int64_t ms = std::max<std::int64_t>(0, *entry.outage_ms);
      outage = OutageDurationText(ms);
      // To the tenth of a second the log's times have.
      seconds = std::to_string(ms / kMsPerS) + "." + std::to_string(ms % kMsPerS / 100);
    }
    text += IsoLocalTime(FloorDiv(entry.at_ms, kMsPerS)) + ',' +
            CsvField(NotAFormula(ValidUtf8(entry.host))) + ',' + StateText(entry.from) + ',' +
            StateText(entry.to) + ',' + outage + ',' + seconds + line_end;
  }
  return text;
}

LogSort NextLogSort(LogSort current, LogColumn clicked) {
  if (current.column == clicked) {
    return {clicked, !current.descending};
  }
  return {clicked, clicked == LogColumn::kTime};
}

std::vector<std::size_t> SortedLog(const std::vector<LogEntry>& entries, LogSort sort) {
  std::vector<std::size_t> order(entries.size());
  std::iota(order.begin(), order.end(), 0);
  if (sort.column == LogColumn::kTime) {
    // The store's order is the time's, newest first.
    if (!sort.descending) {
      std::reverse(order.begin(), order.end());
    }
    return order;
  }
  const std::vector<LogKey> keys = KeysOf(entries, sort.column);
  std::stable_sort(order.begin(), order.end(), [&keys, &sort](std::size_t a, std::size_t b) {
    const LogKey& ka = keys[a];
    const LogKey& kb = keys[b];
    if (ka.rank != kb.rank) {
      return ka.rank < kb.rank;
    }
    return sort.descending ? ka.value > kb.value : ka.value < kb.value;
  });
  return order;
}
