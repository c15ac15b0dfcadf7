#ifndef LUMORET_UI_TIME_VIEW_H
#define LUMORET_UI_TIME_VIEW_H

#include <cstdint>
#include <utility>

// The stretch of wall time a history graph shows, in seconds since the Unix epoch, and
// the arithmetic of its pixels, its zoom and its drag, free of any toolkit type.
class TimeView {
 public:
  // The narrowest and the widest span a zoom reaches.
  static constexpr std::int64_t kMinSpan = 60;
  static constexpr std::int64_t kMaxSpan = 30 * 86400;

  TimeView() = default;
  TimeView(std::int64_t from_s, std::int64_t to_s) : from_s(from_s), to_s(to_s) {}

  std::int64_t span() const { return to_s - from_s; }
  // x of a time in a plot width pixels wide: from_s at 0, to_s at width.
  double X(double at_s, int width) const;
  // The pixels [first, end) a bucket of bucket_s from start_s covers, cut to the plot:
  // at least one, so that no bucket vanishes; first == end when it lies outside.
  std::pair<int, int> BucketPixels(std::int64_t start_s, std::int64_t bucket_s, int width) const;
  // Halves the span per notch (widens it for negative notches) around the time at
  // fraction (0 left, 1 right) of the width, within kMinSpan and kMaxSpan, and not past
  // latest_s.
  void Zoom(int notches, double fraction, std::int64_t latest_s);
  // Follows the mouse dragged dx pixels right (into the past), not past latest_s.
  void Drag(int dx, int width, std::int64_t latest_s);
  // Buckets of the export of this view: the shortest of a few round steps that keeps it
  // within kMaxExportRows rows.
  std::int64_t ExportStep() const;
  static constexpr std::int64_t kMaxExportRows = 1440;

  std::int64_t from_s = 0;  // the left edge
  std::int64_t to_s = 0;    // the right edge, after from_s

 private:
  // Moves the view back so that it ends by latest_s.
  void KeepBefore(std::int64_t latest_s);
};

// The ranges the details window offers, shortest first: the first one is drawn from the
// probes in memory, the others from the history store.
struct GraphRange {
  const char* label;    // on its button, UTF-8
  std::int64_t span_s;  // seconds back from now
};
constexpr int kGraphRangeCount = 6;
extern const GraphRange kGraphRanges[kGraphRangeCount];

#endif  // LUMORET_UI_TIME_VIEW_H
