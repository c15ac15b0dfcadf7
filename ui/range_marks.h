#ifndef LUMORET_UI_RANGE_MARKS_H
#define LUMORET_UI_RANGE_MARKS_H

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "engine/history_rollup.h"

// What a history graph draws for its buckets (the "smoke" look) and how a range is
// exported, free of any toolkit type.

// The marks of one bucket.
struct BucketMarks {
  bool band = false;      // a min-max band: two replies or more
  bool median = false;    // the median: a reply or more
  bool loss = false;      // a red tick at the top: a probe or more lost
  bool all_lost = false;  // every probe lost: the median line breaks there
  int loss_height = 0;    // the tick's height in pixels, by the share lost
};
// The marks of summary in a graph whose loss ticks are at most tick_height high; a
// bucket that lost anything gets a tick of at least 2 pixels.
BucketMarks MarksOf(const DelaySummary& summary, int tick_height);

// Buckets with probes this many seconds apart or more have a gap between them (Lumoret
// was not running); closer ones are neighbours, though buckets shorter than the probes'
// interval leave empty ones between them.
constexpr std::int64_t kProbeGapS = 60;

// The broken-down local time of at, on every platform's thread-safe call.
std::tm LocalTime(std::time_t at);
// A time as ISO 8601 in the local time zone, with its offset: 2026-12-07T18:05:00+08:00.
std::string IsoLocalTime(std::int64_t at_s);

// One line of a range's export: a host's bucket.
struct RangeRow {
  std::string host;      // its text in config.ini
  DelaySummary summary;  // the bucket, from its start_s
};
// The rows as CSV under a title line, each line ended by line_end, UTF-8 with a
// byte-order mark like the list's export: host, local time, count, lost, min, median,
// max (ms, empty without replies). The host goes through NotAFormula.
std::string RangeCsvText(const std::vector<RangeRow>& rows, const char* line_end = "\r\n");

#endif  // LUMORET_UI_RANGE_MARKS_H
