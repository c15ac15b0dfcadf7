#include "ui/time_view.h"
#include "engine/user_text.h"

#include <algorithm>
#include <cmath>
#include <iterator>

const GraphRange kGraphRanges[kGraphRangeCount] = {
    {TR_NOOP("10 分钟"), 600},   {TR_NOOP("1 小时"), 3600},    {TR_NOOP("6 小时"), 6 * 3600},
    {TR_NOOP("24 小时"), 86400}, {TR_NOOP("7 天"), 7 * 86400}, {TR_NOOP("30 天"), 30 * 86400},
};

double TimeView::X(double at_s, int width) const {
  return (at_s - static_cast<double>(from_s)) * width / static_cast<double>(span());
}

std::pair<int, int> TimeView::BucketPixels(std::int64_t start_s, std::int64_t bucket_s,
                                           int width) const {
  const int first = std::max(0, static_cast<int>(std::floor(X(start_s, width))));
  int end = std::min(width, static_cast<int>(std::floor(X(start_s + bucket_s, width))));
  if (start_s + bucket_s <= from_s || start_s >= to_s) {
    return {first, first};
  }
  end = std::max(end, std::min(first + 1, width));
  return {first, end};
}

void TimeView::Zoom(int notches, double fraction, std::int64_t latest_s) {
  const double anchor = from_s + fraction * span();
  const double wanted = span() * std::pow(0.5, notches);
  const auto new_span = static_cast<std::int64_t>(
      std::llround(std::clamp(wanted, double{kMinSpan}, double{kMaxSpan})));
  from_s = static_cast<std::int64_t>(std::llround(anchor - fraction * new_span));
  to_s = from_s + new_span;
  KeepBefore(latest_s);
}

void TimeView::Drag(int dx, int width, std::int64_t latest_s) {
  if (width <= 0) {
    return;
  }
  const auto shift =
      static_cast<std::int64_t>(std::llround(static_cast<double>(dx) * span() / width));
  from_s -= shift;
  to_s -= shift;
  KeepBefore(latest_s);
}

void TimeView::KeepBefore(std::int64_t latest_s) {
  if (to_s > latest_s) {
    from_s -= to_s - latest_s;
    to_s = latest_s;
  }
}

std::int64_t TimeView::ExportStep() const {
  constexpr std::int64_t kSteps[] = {10, 60, 300, 900, 3600, 86400};
  for (const std::int64_t step : kSteps) {
    if (span() <= step * kMaxExportRows) {
      return step;
    }
  }
  return kSteps[std::size(kSteps) - 1];
}
