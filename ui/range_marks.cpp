#include "ui/range_marks.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "engine/csv_field.h"
#include "engine/user_text.h"
#include "ui/detail_texts.h"

namespace {

// Days from 1970-01-01 to a civil date (proleptic Gregorian), so that a local time's
// offset comes out the same on every system.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

}  // namespace

std::tm LocalTime(std::time_t at) {
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &at);
#else
  localtime_r(&at, &local);
#endif
  return local;
}

BucketMarks MarksOf(const DelaySummary& summary, int tick_height) {
  BucketMarks marks;
  marks.band = summary.replies() >= 2;
  marks.median = summary.replies() >= 1;
  marks.loss = summary.lost > 0;
  marks.all_lost = summary.count > 0 && summary.lost == summary.count;
  if (marks.loss) {
    const int share = static_cast<int>(
        (static_cast<std::int64_t>(tick_height) * summary.lost + summary.count - 1) /
        summary.count);
    marks.loss_height = std::max(std::min(2, tick_height), share);
  }
  return marks;
}

std::string IsoLocalTime(std::int64_t at_s) {
  const std::tm local = LocalTime(static_cast<std::time_t>(at_s));
  const std::int64_t as_utc =
      DaysFromCivil(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
                    static_cast<unsigned>(local.tm_mday)) *
          86400 +
      local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
  const std::int64_t offset_min = (as_utc - at_s) / 60;
  const std::int64_t magnitude = offset_min < 0 ? -offset_min : offset_min;
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                offset_min < 0 ? '-' : '+', static_cast<int>(magnitude / 60),
                static_cast<int>(magnitude % 60));
  return text;
}

std::string RangeCsvText(const std::vector<RangeRow>& rows, const char* line_end) {
  std::string text = "\xEF\xBB\xBF";
  // TRANSLATORS: the CSV file's titles: keep the seven, in this order, with the commas.
  text += Tr("IP或域名,时间,ping总数,超时次数,最小延迟 (ms),中位延迟 (ms),最大延迟 (ms)");
  text += line_end;
  for (const RangeRow& row : rows) {
    const DelaySummary& point = row.summary;
    const auto delay = [&point](std::uint32_t ms) {
      return point.replies() > 0 ? std::to_string(ms) : std::string();
    };
    text += CsvField(NotAFormula(row.host)) + ',' + IsoLocalTime(point.start_s) + ',' +
            std::to_string(point.count) + ',' + std::to_string(point.lost) + ',' +
            delay(point.min_ms) + ',' + delay(point.median_ms) + ',' + delay(point.max_ms) +
            line_end;
  }
  return text;
}
