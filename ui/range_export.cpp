#include "ui/range_export.h"

#include "engine/history_store.h"
#include "ui/range_marks.h"

std::string RangeExport::Text(HistoryStore& store, const std::vector<std::string>& hosts,
                              const TimeView& view, const std::atomic<bool>& cancelled,
                              const char* line_end) {
  const std::int64_t step = view.ExportStep();
  // Whole buckets on round times, covering the view.
  const std::int64_t from_s = view.from_s / step * step;
  const std::int64_t to_s = (view.to_s + step - 1) / step * step;
  const auto buckets = static_cast<std::size_t>((to_s - from_s) / step);
  std::vector<RangeRow> rows;
  for (const std::string& host : hosts) {
    if (cancelled) {
      return std::string();
    }
    for (const DelaySummary& point : store.Query(host, from_s, to_s, buckets).points) {
      rows.push_back({host, point});
    }
  }
  return RangeCsvText(rows, line_end);
}
